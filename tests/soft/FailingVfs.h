// An SQLite VFS over the default one that fails one chosen write, as
// SQLite's own I/O-error tests do: for tests of what a failed write leaves.
#pragma once

// Makes the failing VFS the default for connections opened from now on in
// this process; its write number `n` (1 for the first xWrite of any file)
// fails with SQLITE_IOERR_WRITE, every other write goes through.
void InstallFailingVfs(int n);

// True once the chosen write has failed.
bool FailingVfsFired();
