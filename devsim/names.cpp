#include "names.h"

#include <cerrno>
#include <cstdio>
#include <linux/dvb/frontend.h>
#include <linux/dvb/video.h>
#include <linux/soundcard.h>
#include <linux/videodev.h>
#include <linux/videodev2.h>

static const Request requests[] = {
    {VIDEO_GET_STATUS, "VIDEO_GET_STATUS", on_decoder},
    {VIDEO_STILLPICTURE, "VIDEO_STILLPICTURE", on_decoder},
    {VIDEO_PLAY, "VIDEO_PLAY", on_decoder},
    {FE_READ_STATUS, "FE_READ_STATUS", on_frontend},
    {VIDIOCGMBUF, "VIDIOCGMBUF", on_v4l1_capture},
    {VIDIOCGCAP, "VIDIOCGCAP", on_v4l1_capture},
    {VIDIOCMCAPTURE, "VIDIOCMCAPTURE", on_v4l1_capture},
    {VIDIOCSYNC, "VIDIOCSYNC", on_v4l1_capture},
    {VIDIOC_QUERYCAP, "VIDIOC_QUERYCAP", on_v4l2_capture},
    {VIDIOC_ENUM_FMT, "VIDIOC_ENUM_FMT", on_v4l2_capture},
    {VIDIOC_G_FMT, "VIDIOC_G_FMT", on_v4l2_capture},
    {VIDIOC_S_FMT, "VIDIOC_S_FMT", on_v4l2_capture | on_vbi},
    {VIDIOC_TRY_FMT, "VIDIOC_TRY_FMT", on_v4l2_capture},
    {VIDIOC_REQBUFS, "VIDIOC_REQBUFS", on_v4l2_capture},
    {VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF", on_v4l2_capture},
    {VIDIOC_QBUF, "VIDIOC_QBUF", on_v4l2_capture},
    {VIDIOC_DQBUF, "VIDIOC_DQBUF", on_v4l2_capture},
    {VIDIOC_STREAMON, "VIDIOC_STREAMON", on_v4l2_capture},
    {VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF", on_v4l2_capture},
    {SOUND_MIXER_READ_CD, "SOUND_MIXER_READ_CD", on_mixer},
    {SOUND_MIXER_WRITE_CD, "SOUND_MIXER_WRITE_CD", on_mixer},
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

unsigned answerer_bit(DeviceKind kind, bool v4l2)
{
    switch (kind) {
    case DeviceKind::decoder:
        return on_decoder;
    case DeviceKind::frontend:
        return on_frontend;
    case DeviceKind::capture:
        return v4l2 ? on_v4l2_capture : on_v4l1_capture;
    case DeviceKind::vbi:
        return on_vbi;
    case DeviceKind::mixer:
        return on_mixer;
    }
    return 0;
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

static const PixelFormat pixel_formats[] = {
    {V4L2_PIX_FMT_GREY, "GREY", "8-bit Greyscale", 1, 0, false, false},
    {V4L2_PIX_FMT_YUYV, "YUYV", "YUYV 4:2:2", 2, 0, false, false},
    {V4L2_PIX_FMT_UYVY, "UYVY", "UYVY 4:2:2", 2, 1, false, false},
    {V4L2_PIX_FMT_YUV420, "YU12", "Planar YUV 4:2:0", 1, 0, true, false},
    {V4L2_PIX_FMT_YVU420, "YV12", "Planar YVU 4:2:0", 1, 0, true, false},
    {V4L2_PIX_FMT_NV12, "NV12", "Y/UV 4:2:0", 1, 0, true, true},
    {V4L2_PIX_FMT_NV21, "NV21", "Y/VU 4:2:0", 1, 0, true, true},
    {V4L2_PIX_FMT_MJPEG, "MJPG", "Motion-JPEG", 0, 0, false, false},
};

const PixelFormat *find_pixel_format(uint32_t fourcc)
{
    for (const PixelFormat &f : pixel_formats)
        if (f.fourcc == fourcc)
            return &f;
    return nullptr;
}

const PixelFormat *find_pixel_format(const std::string &name)
{
    for (const PixelFormat &f : pixel_formats)
        if (name == f.name)
            return &f;
    return nullptr;
}

std::string pixel_format_names()
{
    std::string list;
    for (const PixelFormat &f : pixel_formats)
        list += (list.empty() ? "" : ", ") + std::string(f.name);
    return list;
}

std::string fourcc_text(uint32_t fourcc)
{
    char text[16];
    for (int i = 0; i < 4; i++) {
        unsigned char c = (unsigned char)(fourcc >> (8 * i));
        if (c <= ' ' || c > '~') {
            snprintf(text, sizeof text, "0x%08x", fourcc);
            return text;
        }
        text[i] = (char)c;
    }
    text[4] = 0;
    return text;
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
