// Definitions that vorna-testgl-clash carries and exports, standing for a program with its own
// copy of FFmpeg built in. The names match FFmpeg's, the behaviour does not: had Vorna's client
// bound to them instead of to its own libraries, it would fail and the program would say so.
#include <cstdarg>
#include <cstdio>

namespace {

void report(const char* function) {
  std::fprintf(stderr, "vorna-testgl-clash: the program's own %s() was called\n", function);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int avcodec_open2(void*, const void*, void**) {
  report("avcodec_open2");
  return -1;
}

__attribute__((visibility("default"))) int avformat_write_header(void*, void**) {
  report("avformat_write_header");
  return -1;
}

__attribute__((visibility("default"))) void* sws_getContext(int, int, int, int, int, int, void*,
                                                            void*, const double*) {
  report("sws_getContext");
  return nullptr;
}

__attribute__((visibility("default"))) void* av_frame_alloc() {
  report("av_frame_alloc");
  return nullptr;
}

__attribute__((visibility("default"))) void av_log(void*, int, const char*, ...) {
  report("av_log");
}

}
