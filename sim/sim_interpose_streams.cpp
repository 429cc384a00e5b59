// The stdio functions the board replaces. libc's fopen and freopen open
// inside libc, out of the board's reach, and its fclose closes there too:
// on the device each goes to the board, and every other stream passes to
// libc unchanged.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>

using namespace varnik::sim;

namespace {

FILE *NextFopen(RealIndex index, const char *path, const char *mode) {
  FopenFn real = Real<FopenFn>(index);
  if (real == nullptr) return errno = ENOSYS, nullptr;
  return real(path, mode);
}

FILE *NextFreopen(RealIndex index, const char *path, const char *mode, FILE *stream) {
  FreopenFn real = Real<FreopenFn>(index);
  if (real == nullptr) return errno = ENOSYS, nullptr;
  return real(path, mode, stream);
}

}  // namespace

extern "C" {

VARNIK_EXPORT FILE *fopen(const char *path, const char *mode) {
  if (IsDevice(AT_FDCWD, path)) return DeviceFopen(mode);
  return NextFopen(kRealFopen, path, mode);
}

VARNIK_EXPORT FILE *fopen64(const char *path, const char *mode) {
  if (IsDevice(AT_FDCWD, path)) return DeviceFopen(mode);
  return NextFopen(kRealFopen64, path, mode);
}

// freopen(NULL, ...) reopens the stream's own file: for a stream on the
// device, that is the device again.
VARNIK_EXPORT FILE *freopen(const char *path, const char *mode, FILE *stream) {
  if (IsDevice(AT_FDCWD, path) || (path == nullptr && IsDeviceStream(stream)))
    return DeviceFreopen(mode, stream);
  DeviceStreamClosing(stream);
  return NextFreopen(kRealFreopen, path, mode, stream);
}

VARNIK_EXPORT FILE *freopen64(const char *path, const char *mode, FILE *stream) {
  if (IsDevice(AT_FDCWD, path) || (path == nullptr && IsDeviceStream(stream)))
    return DeviceFreopen(mode, stream);
  DeviceStreamClosing(stream);
  return NextFreopen(kRealFreopen64, path, mode, stream);
}

VARNIK_EXPORT int fclose(FILE *stream) {
  if (stream != nullptr) DeviceStreamClosing(stream);
  FcloseFn real = Real<FcloseFn>(kRealFclose);
  if (real == nullptr) return errno = ENOSYS, EOF;
  return real(stream);
}

// libc's other public name for fopen.
VARNIK_EXPORT FILE *_IO_fopen(const char *, const char *) __attribute__((alias("fopen"), malloc));

FILE *self_fopen(const char *, const char *) __attribute__((alias("fopen"), malloc));
FILE *self_fopen64(const char *, const char *) __attribute__((alias("fopen64"), malloc));
FILE *self_freopen(const char *, const char *, FILE *) __attribute__((alias("freopen")));
FILE *self_freopen64(const char *, const char *, FILE *) __attribute__((alias("freopen64")));
int self_fclose(FILE *) __attribute__((alias("fclose")));

}  // extern "C"
