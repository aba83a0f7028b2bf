// File access of the update commands. The image and PILL transfers read a file strictly in
// order; the date stamp writes four bytes in place. Everything goes through these few
// functions, so that another file API can take the place of the standard streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens an existing file for reading; other readers are allowed. Returns none when it cannot be
// opened (also for a directory), with the system's error code in *error (may be null).
std::FILE* cmUpdFileOpenRead(const char* path, int* error);
// Opens an existing file for reading and writing in place, as a plain byte stream; the file is
// never created. None on failure, with the system's error code in *error (may be null).
std::FILE* cmUpdFileOpenReadWrite(const char* path, int* error);
// The file's size in bytes; false when it cannot be had. Leaves the position at the start.
bool cmUpdFileSize(std::FILE* file, uint64_t* size);
// Back to the first byte; false on failure.
bool cmUpdFileRewind(std::FILE* file);
// Reads up to max bytes from the current position and returns how many were read (fewer only
// at the end of the file). *failed (may be null) tells whether the read itself failed.
size_t cmUpdFileRead(std::FILE* file, uint8_t* buffer, size_t max, bool* failed);
// Writes count bytes at offset; false when they did not all reach the file.
bool cmUpdFileWriteAt(std::FILE* file, uint64_t offset, const uint8_t* data, size_t count);
// Closes the file; false when what was written could not be saved. None is ignored (true).
bool cmUpdFileClose(std::FILE* file);

// ---- The bytes a transfer sends ------------------------------------------------------------
// A transfer reads its file once, from the first byte to the end (or to a read that fails), and
// sends from what it read: the repeater gets one state of the file however the file changes
// meanwhile, and the service's record gets the size and SHA-256 of exactly those bytes. One
// transfer at a time: loaded on the command thread before the start request, read on the
// receive thread afterwards.

// Reads the whole file into the transfer's bytes and starts reading them at the first.
void cmUpdImageLoad(std::FILE* file);
// How many bytes were read, and whether that is the whole file.
uint64_t cmUpdImageSize();
bool cmUpdImageWhole();
// The next bytes, as cmUpdFileRead would read them from the file: *failed (with errno set as the
// failing read left it) once the bytes that could be read are used up.
size_t cmUpdImageRead(uint8_t* buffer, size_t max, bool* failed);
