// Letterbox measurement on five kinds of 720x576 grey frames, next to the
// crop detection filter of libavfilter on the same frames and next to one
// plain pass over the rows the measurement reads (the memory limit).
//
//   letterbox_bench [benchmark flags]          Google Benchmark run
//   letterbox_bench count WORK FRAME N         WORK on FRAME N times, for
//                                              instruction counts under callgrind
//   letterbox_bench pgm FRAME                  FRAME as a binary PGM on stdout
// WORK: ours, cropdetect, onepass or none (the harness alone); FRAME: one of
// the names below.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "letterbox.h"

static const int W = 720, H = 576;

struct Frame {
    const char *name;
    std::vector<uint8_t> pixels;
};

// A film scene with texture that reaches the frame edges on every row.
static uint8_t picture_pixel(int x, int y, std::mt19937 &rng)
{
    double v = 120 + 60 * std::sin(x / 37.0 + y / 53.0) * std::cos(y / 29.0 - x / 91.0) + 0.05 * x;
    v += std::uniform_int_distribution<int>(-6, 6)(rng);
    return uint8_t(std::clamp(v, 30.0, 235.0));
}

// Bars of `bar` rows top and bottom in studio black (16) with light noise
// (two levels either way), a station logo in the top bar when asked.
static Frame make_frame(const char *name, int bar, bool logo)
{
    std::mt19937 rng(bar * 31 + 7);
    Frame f{name, std::vector<uint8_t>(size_t(W) * H)};
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            bool in_bar = y < bar || y >= H - bar;
            f.pixels[size_t(y) * W + x] =
                in_bar ? uint8_t(16 + std::uniform_int_distribution<int>(-2, 2)(rng)) : picture_pixel(x, y, rng);
        }
    if (logo) // 100 x 21 pixels at the right, well inside the logo limit
        for (int y = 30; y <= 50; y++)
            for (int x = 560; x < 660; x++)
                if ((x / 5 + y / 3) % 3)
                    f.pixels[size_t(y) * W + x] = 200;
    return f;
}

static const char *const frame_names[] = {"4:3", "14:9", "16:9-logo", "2.39:1", "black"};

static Frame make_named_frame(const std::string &name)
{
    if (name == "4:3")
        return make_frame("4:3", 0, false);
    if (name == "14:9")
        return make_frame("14:9", 41, false); // 576 x 12/14 = 494 rows of picture
    if (name == "16:9-logo")
        return make_frame("16:9-logo", 72, true); // 432 rows
    if (name == "2.39:1")
        return make_frame("2.39:1", 127, false); // 322 rows
    return Frame{"black", std::vector<uint8_t>(size_t(W) * H, 0)};
}

// --- ours ---

static int32_t run_ours(const Frame &f)
{
    auto m = measure_letterbox(f.pixels.data(), W, H, LetterboxSettings{});
    return m ? m->active_height : -1;
}

// --- the memory limit: every byte of the rows the measurement reads ---

struct RowSpan {
    int32_t first, last; // inclusive; first > last: none
};

struct Touched {
    RowSpan top, bottom;
    int32_t begin, end; // columns
};

// Rows read with the default settings: the tone row is the first top row;
// each bar and the row beyond it; no bottom rows when the top reaches half.
static Touched touched_rows(const Frame &f)
{
    LetterboxSettings s;
    int32_t margin_x = int32_t(W * double(s.overscan)), margin_y = int32_t(H * double(s.overscan));
    auto m = measure_letterbox(f.pixels.data(), W, H, s);
    Touched t{{margin_y, H / 2 - 1}, {1, 0}, margin_x, W - margin_x};
    if (m) {
        t.top.last = m->top_bar;
        t.bottom = {H - 1 - m->bottom_bar, H - 1 - margin_y};
    }
    return t;
}

// A plain loop the compiler turns into vector code, built for the widest
// vectors the CPU has, as the row test is.
__attribute__((target_clones("avx2", "default"))) static uint8_t max_of_bytes(const uint8_t *p, int32_t n)
{
    uint8_t highest = 0;
    for (int32_t i = 0; i < n; i++)
        highest = p[i] > highest ? p[i] : highest;
    return highest;
}

static int32_t run_onepass(const Frame &f, const Touched &t)
{
    int32_t acc = 0;
    for (RowSpan span : {t.top, t.bottom})
        for (int32_t y = span.first; y <= span.last; y++)
            acc += max_of_bytes(f.pixels.data() + size_t(y) * W + t.begin, t.end - t.begin);
    return acc;
}

// --- the peer: buffer source -> cropdetect -> buffer sink ---

struct Cropdetect {
    AVFilterGraph *graph = nullptr;
    AVFilterContext *source = nullptr, *sink = nullptr;
    AVFrame *in = nullptr, *out = nullptr;
    int64_t pts = 0;
};

static void fail(const char *what)
{
    fprintf(stderr, "letterbox_bench: %s\n", what);
    exit(1);
}

static void open_cropdetect(Cropdetect &c, const Frame &f)
{
    av_log_set_level(AV_LOG_QUIET); // it reports every frame at info level
    c.graph = avfilter_graph_alloc();
    char args[128];
    snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=gray:time_base=1/25:pixel_aspect=1/1", W, H);
    if (!c.graph
        || avfilter_graph_create_filter(&c.source, avfilter_get_by_name("buffer"), "in", args, nullptr, c.graph) < 0
        || avfilter_graph_create_filter(&c.sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, c.graph)
               < 0)
        fail("cannot build the filter graph");
    AVFilterInOut *outputs = avfilter_inout_alloc(), *inputs = avfilter_inout_alloc();
    outputs->name = av_strdup("in");
    outputs->filter_ctx = c.source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = c.sink;
    if (avfilter_graph_parse_ptr(c.graph, "cropdetect=skip=0:reset=1", &inputs, &outputs, nullptr) < 0
        || avfilter_graph_config(c.graph, nullptr) < 0)
        fail("cannot configure cropdetect");
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);

    c.in = av_frame_alloc();
    c.out = av_frame_alloc();
    c.in->format = AV_PIX_FMT_GRAY8;
    c.in->width = W;
    c.in->height = H;
    if (av_frame_get_buffer(c.in, 0) < 0)
        fail("no frame buffer");
    for (int y = 0; y < H; y++)
        memcpy(c.in->data[0] + size_t(y) * c.in->linesize[0], f.pixels.data() + size_t(y) * W, W);
}

// One frame through the filter; the result is the crop height it found.
static int32_t run_cropdetect(Cropdetect &c)
{
    c.in->pts = c.pts++;
    if (av_buffersrc_add_frame_flags(c.source, c.in, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
        fail("buffer source refused a frame");
    if (av_buffersink_get_frame(c.sink, c.out) < 0)
        fail("no frame from the sink");
    int32_t h = 0;
    if (AVDictionaryEntry *e = av_dict_get(c.out->metadata, "lavfi.cropdetect.h", nullptr, 0))
        h = atoi(e->value);
    av_frame_unref(c.out);
    return h;
}

static void close_cropdetect(Cropdetect &c)
{
    av_frame_free(&c.in);
    av_frame_free(&c.out);
    avfilter_graph_free(&c.graph);
}

// --- Google Benchmark ---

static void BM_Ours(benchmark::State &state, const Frame *f)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(run_ours(*f));
    state.counters["active"] = run_ours(*f);
}

static void BM_OnePass(benchmark::State &state, const Frame *f)
{
    Touched t = touched_rows(*f);
    for (auto _ : state)
        benchmark::DoNotOptimize(run_onepass(*f, t));
    int64_t rows = (t.top.last - t.top.first + 1) + (t.bottom.last - t.bottom.first + 1);
    state.counters["rows"] = double(rows);
    state.SetBytesProcessed(int64_t(state.iterations()) * rows * (t.end - t.begin));
}

static void BM_Cropdetect(benchmark::State &state, const Frame *f)
{
    Cropdetect c;
    open_cropdetect(c, *f);
    int32_t h = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(h = run_cropdetect(c));
    state.counters["crop_h"] = h;
    close_cropdetect(c);
}

static void check_frame_name(const char *frame_name)
{
    for (const char *name : frame_names)
        if (strcmp(name, frame_name) == 0)
            return;
    fail("unknown frame");
}

static int count_mode(const char *work, const char *frame_name, long n)
{
    check_frame_name(frame_name);
    static const Frame frame = make_named_frame(frame_name);
    const Frame *f = &frame;
    int64_t sum = 0;
    std::string w = work;
    if (w == "ours") {
        for (long i = 0; i < n; i++)
            sum += run_ours(*f);
    } else if (w == "onepass") {
        Touched t = touched_rows(*f);
        for (long i = 0; i < n; i++)
            sum += run_onepass(*f, t);
    } else if (w == "cropdetect") {
        Cropdetect c;
        open_cropdetect(c, *f);
        for (long i = 0; i < n; i++)
            sum += run_cropdetect(c);
        close_cropdetect(c);
    } else if (w == "cropdetect-none") {
        // the filter graph set up and torn down, no frame
        Cropdetect c;
        open_cropdetect(c, *f);
        close_cropdetect(c);
    } else if (w != "none") {
        fail("unknown work");
    }
    printf("%lld\n", (long long)sum);
    return 0;
}

static int pgm_mode(const char *frame_name)
{
    check_frame_name(frame_name);
    Frame f = make_named_frame(frame_name);
    printf("P5\n%d %d\n255\n", W, H);
    fwrite(f.pixels.data(), 1, f.pixels.size(), stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "pgm") == 0)
        return pgm_mode(argv[2]);
    if (argc == 5 && strcmp(argv[1], "count") == 0)
        return count_mode(argv[2], argv[3], atol(argv[4]));
    static std::vector<Frame> frames;
    for (const char *name : frame_names)
        frames.push_back(make_named_frame(name));
    for (const Frame &f : frames) {
        std::string n = f.name;
        benchmark::RegisterBenchmark(("ours/" + n).c_str(), BM_Ours, &f);
        benchmark::RegisterBenchmark(("cropdetect/" + n).c_str(), BM_Cropdetect, &f);
        benchmark::RegisterBenchmark(("onepass/" + n).c_str(), BM_OnePass, &f);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
