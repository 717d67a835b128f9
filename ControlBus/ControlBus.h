#pragma once
// Where the running application is found on the session bus. The interface itself
// is described in io.overlook.Overlook.xml beside this file.

namespace overlook::control {

inline constexpr const char* kBusName = "io.overlook.Overlook";
inline constexpr const char* kObjectPath = "/io/overlook/Overlook";
inline constexpr const char* kInterface = "io.overlook.Overlook";

} // namespace overlook::control
