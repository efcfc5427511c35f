// Layout: header, the folder record, the file records, then the data
// blocks, one per 32 KB frame of the folder.
#include "cabwrite.h"

#include "cabinet.h"
#include "cablayout.h"

namespace {

void Put16(std::vector<uint8_t>* out, uint32_t v)
{
    out->push_back((uint8_t)v);
    out->push_back((uint8_t)(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void Set32(std::vector<uint8_t>* out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*out)[at + i] = (uint8_t)(v >> (8 * i));
}

} // namespace

bool BuildCabinet(const std::vector<CabFileEntry>& files, const CabWriteOptions& options,
                  std::vector<uint8_t>* cab)
{
    if (files.size() > 0xFFFF)
        return false;
    std::vector<uint8_t> folder;
    std::vector<uint32_t> offsets;
    for (const CabFileEntry& f : files) {
        if (f.name.empty() || f.name.size() > CabNameLengthMax || folder.size() + f.data.size() > 0x7FFF0000u)
            return false;
        offsets.push_back((uint32_t)folder.size());
        folder.insert(folder.end(), f.data.begin(), f.data.end());
    }
    std::vector<LzxFrame> frames;
    if (options.method == CabMethodLzx) {
        if (!LzxCompress(folder.data(), folder.size(), options.lzx, &frames))
            return false;
    } else {
        for (size_t at = 0; at < folder.size(); at += CabFrameSize) {
            LzxFrame f;
            size_t n = std::min<size_t>(CabFrameSize, folder.size() - at);
            f.bytes.assign(folder.begin() + at, folder.begin() + at + n);
            f.outSize = (uint32_t)n;
            frames.push_back(std::move(f));
        }
    }
    if (frames.size() > 0xFFFF)
        return false;

    // The header, its fields in the order of their offsets.
    cab->clear();
    cab->insert(cab->end(), {'M', 'S', 'C', 'F'});
    Put32(cab, 0);
    Put32(cab, 0);            // CabTotalSizeAt, filled in below
    Put32(cab, 0);
    Put32(cab, CabHeaderSize + CabFolderRecordSize);   // CabFilesAt
    Put32(cab, 0);
    Put16(cab, CabVersion);   // CabVersionAt
    Put16(cab, 1);
    Put16(cab, (uint32_t)files.size());
    Put16(cab, 0);            // no reserve, no previous or next cabinet
    Put16(cab, 0x4C55);       // set identifier
    Put16(cab, 0);
    size_t folderRecord = cab->size();
    Put32(cab, 0);            // CabFolderFirstBlockAt, filled in below
    Put16(cab, (uint32_t)frames.size());
    Put16(cab, options.method == CabMethodLzx
                   ? (uint32_t)(CabMethodLzx | options.lzx.windowBits << CabWindowShift)
                   : CabMethodStored);
    for (size_t i = 0; i < files.size(); i++) {
        const CabFileEntry& f = files[i];
        Put32(cab, (uint32_t)f.data.size());
        Put32(cab, offsets[i]);
        Put16(cab, 0);
        Put16(cab, f.date);
        Put16(cab, f.time);
        Put16(cab, f.attributes);
        cab->insert(cab->end(), f.name.begin(), f.name.end());
        cab->push_back(0);
    }
    Set32(cab, folderRecord + CabFolderFirstBlockAt, (uint32_t)cab->size());
    for (const LzxFrame& f : frames) {
        if (f.bytes.size() > CabFrameSize + LzxFrameGrowthMax)
            return false;
        uint8_t sizes[4] = {(uint8_t)f.bytes.size(), (uint8_t)(f.bytes.size() >> 8),
                            (uint8_t)f.outSize, (uint8_t)(f.outSize >> 8)};
        uint32_t sum = 0;
        if (options.checksums)
            sum = CabinetChecksum(sizes, 4, CabinetChecksum(f.bytes.data(), (UINT)f.bytes.size(), 0));
        Put32(cab, sum);
        cab->insert(cab->end(), sizes, sizes + 4);
        cab->insert(cab->end(), f.bytes.begin(), f.bytes.end());
    }
    Set32(cab, CabTotalSizeAt, (uint32_t)cab->size());
    return true;
}
