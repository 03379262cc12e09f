#include "names.h"

#include <cerrno>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/soundcard.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>

static const Request requests[] = {
    {VIDEO_GET_STATUS, "VIDEO_GET_STATUS", DeviceKind::decoder},
    {VIDEO_STILLPICTURE, "VIDEO_STILLPICTURE", DeviceKind::decoder},
    {VIDEO_PLAY, "VIDEO_PLAY", DeviceKind::decoder},
    {FE_READ_STATUS, "FE_READ_STATUS", DeviceKind::frontend},
    {VIDIOCGMBUF, "VIDIOCGMBUF", DeviceKind::capture},
    {VIDIOCGCAP, "VIDIOCGCAP", DeviceKind::capture},
    {VIDIOCMCAPTURE, "VIDIOCMCAPTURE", DeviceKind::capture},
    {VIDIOCSYNC, "VIDIOCSYNC", DeviceKind::capture},
    {VIDIOC_S_FMT, "VIDIOC_S_FMT", DeviceKind::vbi},
    {SOUND_MIXER_READ_CD, "SOUND_MIXER_READ_CD", DeviceKind::mixer},
    {SOUND_MIXER_WRITE_CD, "SOUND_MIXER_WRITE_CD", DeviceKind::mixer},
};

const Request *find_request(unsigned long number)
{
    for (const Request &r : requests)
        if (r.number == number)
            return &r;
    return nullptr;
}

const Request *find_request(const std::string &name)
{
    for (const Request &r : requests)
        if (name == r.name)
            return &r;
    return nullptr;
}

static const struct {
    int code;
    const char *word;
} video_formats[] = {
    {VIDEO_FORMAT_4_3, "4:3"},
    {VIDEO_FORMAT_16_9, "16:9"},
    {VIDEO_FORMAT_221_1, "2.21:1"},
};

const char *video_format_word(int code)
{
    for (const auto &f : video_formats)
        if (f.code == code)
            return f.word;
    return nullptr;
}

bool video_format_code(const std::string &word, int &code)
{
    for (const auto &f : video_formats) {
        if (word == f.word) {
            code = f.code;
            return true;
        }
    }
    return false;
}

static const struct {
    int value;
    const char *name;
} errno_names[] = {
    {EPERM, "EPERM"},       {ENOENT, "ENOENT"},       {ESRCH, "ESRCH"},     {EINTR, "EINTR"},
    {EIO, "EIO"},           {ENXIO, "ENXIO"},         {E2BIG, "E2BIG"},     {EBADF, "EBADF"},
    {EAGAIN, "EAGAIN"},     {ENOMEM, "ENOMEM"},       {EACCES, "EACCES"},   {EFAULT, "EFAULT"},
    {EBUSY, "EBUSY"},       {EEXIST, "EEXIST"},       {ENODEV, "ENODEV"},   {ENOTDIR, "ENOTDIR"},
    {EISDIR, "EISDIR"},     {EINVAL, "EINVAL"},       {ENFILE, "ENFILE"},   {EMFILE, "EMFILE"},
    {ENOTTY, "ENOTTY"},     {ENOSPC, "ENOSPC"},       {EROFS, "EROFS"},     {EPIPE, "EPIPE"},
    {ERANGE, "ERANGE"},     {ENOSYS, "ENOSYS"},       {ENOBUFS, "ENOBUFS"}, {EOPNOTSUPP, "EOPNOTSUPP"},
    {ENOTCONN, "ENOTCONN"}, {ETIMEDOUT, "ETIMEDOUT"},
};

const char *errno_name(int err)
{
    for (const auto &e : errno_names)
        if (e.value == err)
            return e.name;
    return nullptr;
}

int errno_value(const std::string &name)
{
    for (const auto &e : errno_names)
        if (name == e.name)
            return e.value;
    return 0;
}
