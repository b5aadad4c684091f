#pragma once
// Whether a caller of the face service sits at this machine. Asked of the kernel and logind
// about the calling process, never of anything the caller says.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace CallerPolicy {
// Why `pid`, asking through PAM service `service`, may not use the camera: a remote logind session,
// a session without a seat or not in front on it, no session at all for a process not started by
// root, or a process of root's that is no login service (a print or mail server checking a password
// for whoever reached its socket, perhaps over SSH). Nothing when it may.
std::optional<std::string> whyNotLocal(pid_t pid, std::string_view service);
// True when an ACPI lid switch reports "closed" (the built-in camera then sees nothing).
bool lidClosed();
}  // namespace CallerPolicy
