// The thumbnail handler of today's Explorer: initialised with the file's
// stream (in Explorer's isolated surrogate) or its name, then asked for a
// picture of up to cx x cx pixels with its transparency.
#ifndef LUMETTA_THUMBNAILHANDLER_H
#define LUMETTA_THUMBNAILHANDLER_H

#include "lumetta.h"

#include <propsys.h>
#include <thumbcache.h>

// A stream's bytes: up to a size the library keeps spares of, a block from
// them; beyond it, or where the stream states no size, address space
// reserved and committed as the bytes arrive, so that a stream that claims
// gigabytes and holds a few takes no memory for them.
struct StreamBytes {
    uint8_t* base = nullptr;
    uint32_t reserved = 0;     // the block's whole extent
    uint32_t committed = 0;    // how much of it may be written
    bool reservation = false;  // VirtualAlloc's, not the library's block
};

class ThumbnailHandler : public IThumbnailProvider,
                         public IInitializeWithStream,
                         public IInitializeWithFile {
public:
    static IUnknown* Create();
    ThumbnailHandler();
    virtual ~ThumbnailHandler();
    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IInitializeWithStream
    STDMETHODIMP Initialize(IStream* stream, DWORD mode) override;
    // IInitializeWithFile
    STDMETHODIMP Initialize(LPCWSTR path, DWORD mode) override;
    // IThumbnailProvider
    STDMETHODIMP GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override;

private:
    // Settings first, then the description; S_OK when the type is on.
    HRESULT Described(int status);

    volatile LONG refCount;
    StreamBytes bytes;         // a stream's, which the description points into
    ImageInfo info;
    ModuleReference counted;
};

// The largest stream read: the decoders take no file of 2 GB or more.
const uint32_t StreamMaxBytes = 0x7FFFFFFFu;

// Reads a stream from where it stands to its end into a block of its own
// (the caller frees it with FreeStreamBytes).  Short reads are read on; a
// stream that ends before the size it states, fails, or runs past
// StreamMaxBytes gives a failure and no block.
HRESULT ReadWholeStream(IStream* stream, StreamBytes* bytes, uint32_t* size);
void FreeStreamBytes(StreamBytes* bytes);

#endif
