// Writing a one-folder cabinet (version 1.3).
#ifndef LUMETTA_CABWRITE_H
#define LUMETTA_CABWRITE_H

#include <stdint.h>
#include <string>
#include <vector>

#include "lzxenc.h"

struct CabFileEntry {
    std::string name;
    std::vector<uint8_t> data;
    uint16_t date = 0, time = 0, attributes = 0x20;
};

struct CabWriteOptions {
    int method = CabMethodLzx;
    LzxOptions lzx;
    bool checksums = true;
};

// False when the files cannot be held in one cabinet.
bool BuildCabinet(const std::vector<CabFileEntry>& files, const CabWriteOptions& options,
                  std::vector<uint8_t>* cabinet);

#endif
