#pragma once

// The kinds of image within the conversion framework, each in a file of its own, in the order
// the road calls them: a container holds a program file or a bank, and a bank holds programs.
// Each kind has its recognition and its step, one converter applied to a whole image of it.

#include <cstdint>

#include "convert/converter.h"
#include "convert/upgrade.h"

namespace tunewright {

// Hosts' preset containers (vst_preset.cpp). A step writes the whole container again around the
// converted content, into at most kImageCapacity bytes.
Recognition recogniseVstPreset(int32_t length, unsigned char* data);
UpgradeOutcome applyStepToVstPreset(const Converter& step, ImageKind content, int32_t length,
                                    const unsigned char* from, unsigned char* to,
                                    int32_t& converted);

// A file of programs, a program file or a bank, whether a file of its own or what a container
// holds (bank.cpp): recognised and stepped through into room bytes (at least length).
Recognition recogniseContent(int32_t length, unsigned char* data);
UpgradeOutcome applyStepToContent(const Converter& step, ImageKind content, int32_t length,
                                  const unsigned char* from, unsigned char* to, int32_t room,
                                  int32_t& converted);

// Banks (bank.cpp); a step is given room for at least the bank it converts.
Recognition recogniseBank(int32_t length, unsigned char* bank);
UpgradeOutcome applyStepToBank(const Converter& step, int32_t length, const unsigned char* from,
                               unsigned char* to, int32_t room, int32_t& converted);

// Program records (program.cpp), a program file's one or a bank's many.

// The length a program record's numParams gives it, or -1 when that is not a record that fits in
// room bytes.
int32_t recordLength(const unsigned char* record, int32_t room);

// Fills in a byteSize of 0 that a host left unfilled, when the counts fit the length exactly.
void fillByteSize(int32_t length, unsigned char* program);

// The source format of one program, file or record, taking an unfilled byteSize as filled in;
// leaves the program as it was. nullptr when no converter admits it.
const Converter* recogniseProgram(int32_t length, unsigned char* program);

// Converts the program at from into to, which has room bytes, and sets converted to its new
// length.
UpgradeOutcome applyStepToProgram(const Converter& step, int32_t length, const unsigned char* from,
                                  unsigned char* to, int32_t room, int32_t& converted);

}  // namespace tunewright
