// The tool's version: the one number that --version prints, the packages carry and the
// service records hold. It is set in one place, the build's project version.
#pragma once

// "1.1" and the like.
const char* cmToolVersion();
