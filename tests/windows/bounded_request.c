/* hidapi's Windows backend with our patch, compiled into this test alone, so that the test can run
   its bounded request on a handle of its choosing. Not linked with tamrik_hidapi. */
#include "hid.c"

#include "bounded_request.h"

int tamrik_bounded_ioctl(void *handle, unsigned long code, unsigned long timeout_ms, char *error, int error_size)
{
	wchar_t *why = NULL;
	const int got = hid_internal_bounded_ioctl((HANDLE) handle, (DWORD) code, NULL, 0, NULL, 0, (DWORD) timeout_ms,
		L"DeviceIoControl", &why);
	if (error_size > 0) {
		error[0] = '\0';
		if (why)
			WideCharToMultiByte(CP_UTF8, 0, why, -1, error, error_size, NULL, NULL);
		error[error_size - 1] = '\0';
	}
	free(why);
	return got;
}
