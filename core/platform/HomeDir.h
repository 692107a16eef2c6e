// The user's home directory and the directories the library makes in it (the
// configuration and log folders). Uses the C library only, so that logging,
// which keeps its file there, sits above it without a cycle.
#ifndef KYR_HOMEDIR_H
#define KYR_HOMEDIR_H

#include <stddef.h>

// The user's home directory: HOME, else the password entry of the current user.
// Writes it into buf (capacity cap) and returns true; false when neither is known
// or the path does not fit (a path that does not fit counts as no home).
bool GetHomeDir(char* buf, size_t cap);

// Makes a directory with mode 0755 (set after mkdir, so the umask cannot change
// it). Returns 1 when made, 0 when it existed already, -1 on failure.
int MakeDir0755(const char* path);

#endif
