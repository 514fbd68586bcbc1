#pragma once
/* The patched hidapi's bounded request (third_party/hidapi/PATCHES.md) on any overlapped handle:
   the bytes returned, or -1 with hidapi's error text in error (UTF-8). */
#ifdef __cplusplus
extern "C" {
#endif
int tamrik_bounded_ioctl(void *handle, unsigned long code, unsigned long timeout_ms, char *error, int error_size);
#ifdef __cplusplus
}
#endif
