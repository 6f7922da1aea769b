#pragma once
// One copy of the program per user session. The first start claims a name
// that the system gives up when the process ends, however it ends; a later
// start finds the name taken and leaves the running copy to serve. Windows:
// a mutex in the session's Local\ namespace. POSIX: a lock on a file in the
// directory of the user's local DDE services.

// True when this process holds the claim (or the platform cannot tell, in
// which case the DDE service itself still refuses a second server); false
// when another copy holds it. Claiming again in the same session is harmless.
bool claimOnlyCopy();
