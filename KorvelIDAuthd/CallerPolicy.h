#pragma once
// Whether a caller of the face service sits at this machine. Asked of the kernel and logind
// about the calling process, never of anything the caller says.
#include <sys/types.h>

#include <optional>
#include <string>

namespace CallerPolicy {
// Why `pid` may not use the camera: a remote logind session, a session without a seat, or no
// session at all for a process not started by root (a login manager's worker is started by root,
// outside any session). Nothing when it may.
std::optional<std::string> whyNotLocal(pid_t pid);
// True when an ACPI lid switch reports "closed" (the built-in camera then sees nothing).
bool lidClosed();
}  // namespace CallerPolicy
