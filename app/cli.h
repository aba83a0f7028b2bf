// Command line: banner, option parsing and dispatch; the command table and the options are in
// session/options.h. The product table (session/product.h) and the usage text (session/console_text.h)
// sit below the commands, which use them too.
#pragma once

#include <cstdint>

#include "session/options.h"

constexpr int CM_PARSE_CONTINUE = 1;  // cmParseOptions: go on to dispatch

void cmPrintBanner();
int cmProductLookup(const char* text);
// Walks the arguments. Returns CM_PARSE_CONTINUE, or the exit status when an option
// ended the run (-h: 0; -fw without any path: -1), after printing the usage text. An argument
// that nothing takes is named on standard error; on a command line that uses any option beyond
// the classic single run's set it ends the run (-1). options->parent_only lists the arguments a
// run over several repeaters keeps from its children.
int cmParseOptions(int argc, const char* const* argv, ST_OPTIONS* options);
// The whole program: banner, options, product, presence check, dispatch. Returns the exit status:
// -1 for command-line, product and presence errors, 0 when the command did what was asked, 1 otherwise.
int cmMain(int argc, const char* const* argv);
