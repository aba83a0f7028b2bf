// Console texts that the command line and the commands print alike.
#pragma once

// The rule of 79 equals signs that separates blocks of output.
void cmPrintRule();
// The usage text, listing the products.
void cmPrintUsage();

// One line on standard error saying what went wrong, "halvern: " first and a line end after it,
// so that scripts and people can find it. Standard output is flushed first: where both go to one
// place, the line stands after what was printed before it.
void cmTell(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// "halvern: cannot open 'PATH': REASON" for a file that did not open, error being the system's
// error code (errno).
void cmTellCannotOpen(const char* path, int error);
// "halvern: cannot read 'PATH': REASON" for a file that opened but could not be read.
void cmTellCannotRead(const char* path, int error);
// "halvern: cannot write 'PATH': REASON" for a file that opened but did not take everything
// written to it, error being the system's error code (errno; 0 when it is not known).
void cmTellCannotWrite(const char* path, int error);
// "halvern: cannot create 'PATH': REASON" for a file to write that could not be made, error being
// the code the platform's file functions gave.
void cmTellCannotCreate(const char* path, int error);
