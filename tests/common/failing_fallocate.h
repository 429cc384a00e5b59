// fallocate64 for a test program that links failing_fallocate.cpp: libc's
// own, unless the test has asked for it to fail, as on a file system with
// no room left. The libraries under test, the simulated board included,
// reach this definition first, as a program's own definitions come before
// every library's.
#ifndef VARNIK_TESTS_FAILING_FALLOCATE_H
#define VARNIK_TESTS_FAILING_FALLOCATE_H

// Every fallocate64 from now on fails with error; 0 makes them work again.
void FailFallocate(int error);

// True if the file system of path reports holes (SEEK_DATA): only there is
// a register page that is a hole seen as one.
bool ReportsHoles(const char *path);

// True if [offset, offset + length) of the file at path holds no hole.
bool HasStorage(const char *path, long long offset, long long length);

#endif
