// Read-only descriptors of devices this process may not open by itself,
// handed over by a broker (UDisks2 after the user's consent). Opening a
// source by path takes a duplicate of its registered descriptor first.
// Only descriptors open for reading alone are kept: nothing here can write.
// Thread-safe.
#pragma once

#include <string>

// Takes ownership of fd; false (and fd closed) when it is not a read-only
// descriptor of a regular file or block device.
bool RegisterDeviceDescriptor(const std::string& path, int fd);
// A duplicate of the descriptor registered for path (the caller closes it),
// or -1 when there is none.
int DuplicateDeviceDescriptor(const std::string& path);
// Closes and drops the descriptor of path (the device went away).
void ForgetDeviceDescriptor(const std::string& path);
