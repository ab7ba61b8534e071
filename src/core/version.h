// The program's version: the one place it is written. The start-up banner, the
// version resource of the .exe (lcdkorvane.rc) and the release file names
// (tools/package) all take it from here. Plain preprocessor definitions only, so the
// resource compiler can read this file too.
#ifndef KORVANE_VERSION_H
#define KORVANE_VERSION_H

#define KORVANE_VERSION_MAJOR 2
#define KORVANE_VERSION_MINOR 6
#define KORVANE_VERSION_PATCH 7
#define KORVANE_VERSION "2.6.7"

#endif
