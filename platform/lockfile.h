// The single-instance lock: an exclusive flock on the lock file, held for
// the life of the process. Closing the descriptor releases it.
#pragma once

// Takes the lock without waiting. Returns the held descriptor, or -1 when
// another process holds it or the file cannot be opened (both mean
// "another instance is running"). Creates the file's directory level.
int instance_lock_take(const char* path);
// Releases a lock taken by instance_lock_take (-1 is ignored).
void instance_lock_release(int fd);
