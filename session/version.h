// The tool's versions. Two numbers, each with its own job:
// - the release of halvern ("1.1"): what --version prints first, what the packages carry and the
//   service records hold; set in one place, the build's project version;
// - the version of the servicing tool that the banner has always shown ("1.01"): the commands,
//   texts and files that scripts and operators rely on, which halvern keeps.
#pragma once

#include <string>

// "1.1" and the like.
const char* cmToolVersion();

// "1.01": the version the banner shows.
const char* cmBannerVersion();

// The line --version prints for PROGRAM, newline included: "halvern 1.1 (tool version 1.01)\n".
std::string cmVersionLine(const char* program);
