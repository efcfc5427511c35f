// The Microsoft Cabinet layout (version 1.3) and the LZX format's sizes,
// defined once for the reader and the maker.
#ifndef LUMETTA_CABLAYOUT_H
#define LUMETTA_CABLAYOUT_H

#include <stdint.h>

// The cabinet header: byte offsets of its fields, then the optional reserve
// sizes and the names of the previous and next cabinets.
enum {
    CabSignature = 0,          // "MSCF"
    CabTotalSizeAt = 8,        // the whole cabinet's length
    CabFilesAt = 16,           // offset of the first file record
    CabVersionAt = 24,         // minor, then major
    CabFolderCountAt = 26,
    CabFileCountAt = 28,
    CabFlagsAt = 30,
    CabSetIdAt = 32,
    CabIndexAt = 34,
    CabHeaderSize = 36,
    CabReserveSizesSize = 4,   // header reserve (16 bits), folder and data reserve (8 each)
    CabBlockReserveMax = 255,  // a folder's or data block's reserve
    CabVersion = 0x0103,
};

enum {
    CabFlagPrevious = 0x0001,
    CabFlagNext = 0x0002,
    CabFlagReserve = 0x0004,
};

// A folder record: first data block (32 bits), block count and compression
// (16 bits each), then the folder reserve.
enum {
    CabFolderRecordSize = 8,
    CabFolderFirstBlockAt = 0,
    CabFolderBlockCountAt = 4,
    CabFolderCompressionAt = 6,
};

// Compression: method in the low nibble; for LZX the window's bits in 8-12.
enum {
    CabMethodMask = 0x000F,
    CabMethodStored = 0,
    CabMethodMszip = 1,
    CabMethodQuantum = 2,
    CabMethodLzx = 3,
    CabWindowShift = 8,
    CabWindowMask = 0x1F,
};

// A file record: size, offset in its folder's output (32 bits each), folder
// index, date, time and attributes (16 bits each), then the NUL-terminated
// name.
enum {
    CabFileRecordSize = 16,
    CabFileSizeAt = 0,
    CabFileOffsetAt = 4,
    CabFileFolderAt = 8,
    CabFileDateAt = 10,
    CabFileTimeAt = 12,
    CabFileAttributesAt = 14,
    CabFileRunAfterExtract = 0x40,
    CabFolderContinuedFrom = 0xFFFD,
    CabFolderContinuedTo = 0xFFFE,
    CabFolderContinuedBoth = 0xFFFF,
    CabNameLengthMax = 255,    // without the terminator
};

// A data block header: checksum (32 bits), compressed and output sizes (16
// bits each), then the data reserve.
enum {
    CabDataHeaderSize = 8,
    CabDataChecksumAt = 0,
    CabDataSizeAt = 4,
    CabDataOutputSizeAt = 6,
};

// Every data block holds one frame of the folder's output; an LZX frame may
// grow by this much over its output when the data does not compress, an
// MSZIP one by its signature and the stored blocks' headers.
enum {
    CabFrameSize = 32768,
    LzxFrameGrowthMax = 6144,
    MszipFrameGrowthMax = 12,
};

// LZX: the main tree has 256 literals and 8 length headers per position
// slot; lengths beyond the header go through the length tree.
enum {
    LzxLiterals = 256,
    LzxLengthHeaders = 8,
    LzxPositionSlotsMax = 51,
    LzxPositionSlotsUsedMax = 50,   // at a window of 21 bits
    LzxMainMax = LzxLiterals + LzxPositionSlotsUsedMax * LzxLengthHeaders,
    LzxLengthSymbols = 249,
    LzxAlignedSymbols = 8,
    LzxPretreeSymbols = 20,
    LzxWindowBitsMin = 15,
    LzxWindowBitsMax = 21,
    LzxFrameSize = CabFrameSize,
    // Call targets are translated in the first frames only, and never in
    // the last bytes of a frame, where no whole instruction fits.
    LzxE8FramesMax = 32768,
    LzxE8TailBytes = 10,
};

// The kinds of an LZX block, in its 3-bit header.
enum {
    LzxBlockVerbatim = 1,
    LzxBlockAligned = 2,
    LzxBlockUncompressed = 3,
};

// Position slots of a window of 2^windowBits bytes.
inline uint32_t LzxPositionSlots(int windowBits)
{
    return windowBits == 21 ? 50 : windowBits == 20 ? 42 : (uint32_t)windowBits * 2;
}

inline int LzxMainSymbols(int windowBits)
{
    return LzxLiterals + (int)LzxPositionSlots(windowBits) * LzxLengthHeaders;
}

#endif
