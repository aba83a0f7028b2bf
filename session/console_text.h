// Console texts that the command line and the commands print alike.
#pragma once

// The rule of 79 equals signs that separates blocks of output.
void cmPrintRule();
// The usage text, listing the products.
void cmPrintUsage();
