#pragma once

// The program's fixed identity, shared by start-up, the sources and the service client.
namespace VCIdentity {

inline constexpr char applicationVersion[] = "1.1.15";
// A build is newer than this one when its code is greater.
inline constexpr long long versionCode = 101150;
inline constexpr char organizationName[] = "Kelvane";
// Also the Referer of every request the program and its players make.
inline constexpr char organizationDomain[] = "ru.vellacast";

} // namespace VCIdentity
