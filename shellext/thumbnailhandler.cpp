// The thumbnail handler.  No window, no question: Explorer calls it on
// worker threads of a process of its own.
#include "thumbnailhandler.h"

#include <new>
#include <string.h>

#include "thumbnail.h"

namespace {

// A stream that states no size, or more bytes than it stated, is read into
// reservations that grow from this.
const uint32_t FirstReserveBytes = 16u << 20;
const uint32_t CommitStepBytes = 4u << 20;
// A stated size is believed this far: the block comes from the library's
// spares, which the files before have already faulted in.
const uint64_t SpareBlockMaxBytes = (uint64_t)128 << 20;

bool Reserve(StreamBytes* block, uint64_t size)
{
    size = size < StreamMaxBytes ? size : StreamMaxBytes;
    block->base = (uint8_t*)VirtualAlloc(NULL, (SIZE_T)size, MEM_RESERVE, PAGE_READWRITE);
    block->reserved = block->base ? (uint32_t)size : 0;
    block->committed = 0;
    block->reservation = true;
    return block->base != NULL;
}

bool Begin(StreamBytes* block, bool sized, uint64_t stated)
{
    // One byte more than stated, so that the read that finds the end has
    // room to find it.
    if (!sized || stated + 1 > SpareBlockMaxBytes)
        return Reserve(block, sized ? stated + 1 : FirstReserveBytes);
    block->base = AllocateFileBlock((SIZE_T)stated + 1);
    block->reserved = block->committed = block->base ? (uint32_t)stated + 1 : 0;
    block->reservation = false;
    return block->base != NULL;
}

// Commits the next step of a reservation; false when it is all committed
// or memory runs out.
bool CommitMore(StreamBytes* block)
{
    uint32_t step = block->reserved - block->committed;
    step = step < CommitStepBytes ? step : CommitStepBytes;
    if (!block->reservation || step == 0 ||
        !VirtualAlloc(block->base + block->committed, step, MEM_COMMIT, PAGE_READWRITE))
        return false;
    block->committed += step;
    return true;
}

// Moves the bytes read so far into a reservation twice as large.
bool MoveToLarger(StreamBytes* block, uint32_t used)
{
    if (block->reserved >= StreamMaxBytes)
        return false;
    StreamBytes larger;
    if (!Reserve(&larger, (uint64_t)block->reserved * 2))
        return false;
    while (larger.committed < used) {
        if (!CommitMore(&larger)) {
            FreeStreamBytes(&larger);
            return false;
        }
    }
    memcpy(larger.base, block->base, used);
    FreeStreamBytes(block);
    *block = larger;
    return true;
}

HRESULT ResultOf(int status)
{
    switch (status) {
    case ImgOk:
        return S_OK;
    case ImgNoMemory:
        return E_OUTOFMEMORY;
    case ImgCannotOpen:
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    default:
        return E_FAIL;
    }
}

// Explorer takes an ARGB thumbnail as straight colours over their alpha;
// the library's transparent pictures hold colours weighted by opacity and
// transparency where alpha goes.
uint32_t StraightArgb(uint32_t p)
{
    uint32_t alpha = 255 - (p >> 24);
    if (alpha == 0)
        return 0;
    uint32_t result = alpha << 24;
    for (int shift = 0; shift < 24; shift += 8) {
        uint32_t c = ((p >> shift & 0xFF) * 255 + alpha / 2) / alpha;
        result |= (c > 255 ? 255 : c) << shift;
    }
    return result;
}

HBITMAP BitmapOf(const PixelBuffer* picture, bool transparent)
{
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = picture->width;
    bmi.bmiHeader.biHeight = -picture->height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!bitmap || !bits) {
        if (bitmap)
            DeleteObject(bitmap);
        return NULL;
    }
    uint32_t* out = (uint32_t*)bits;
    size_t count = (size_t)picture->width * picture->height;
    for (size_t i = 0; i < count; i++) {
        uint32_t p = picture->pixels[i];
        out[i] = transparent ? StraightArgb(p) : (p | 0xFF000000u);
    }
    GdiFlush();
    return bitmap;
}

}  // namespace

void FreeStreamBytes(StreamBytes* bytes)
{
    if (bytes->base && bytes->reservation)
        VirtualFree(bytes->base, 0, MEM_RELEASE);
    else if (bytes->base)
        ReleaseFileBlock(bytes->base);
    *bytes = StreamBytes();
}

HRESULT ReadWholeStream(IStream* stream, StreamBytes* block, uint32_t* size)
{
    *block = StreamBytes();
    *size = 0;
    STATSTG stat = {};
    bool sized = SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME));
    if (sized && stat.cbSize.QuadPart > StreamMaxBytes)
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    if (!Begin(block, sized, stat.cbSize.QuadPart))
        return E_OUTOFMEMORY;
    uint32_t used = 0;
    HRESULT hr = S_OK;
    for (;;) {
        if (used == block->committed && !CommitMore(block) && !MoveToLarger(block, used)) {
            hr = block->reserved >= StreamMaxBytes ? HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)
                                                   : E_OUTOFMEMORY;
            break;
        }
        ULONG room = block->committed - used, got = 0;
        hr = stream->Read(block->base + used, room, &got);
        if (FAILED(hr))
            break;
        if (got > room) {
            hr = E_UNEXPECTED;
            break;
        }
        used += got;
        if (got == 0) {
            hr = sized && used < stat.cbSize.QuadPart ? HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) : S_OK;
            break;
        }
    }
    if (FAILED(hr)) {
        FreeStreamBytes(block);
        return hr;
    }
    *size = used;
    return S_OK;
}

IUnknown* ThumbnailHandler::Create()
{
    return static_cast<IThumbnailProvider*>(new (std::nothrow) ThumbnailHandler());
}

ThumbnailHandler::ThumbnailHandler() : refCount(1), bytes()
{
    memset(&info, 0, sizeof(info));
    info.size = ImageInfoSize;
}

ThumbnailHandler::~ThumbnailHandler()
{
    ReleaseImageInfo(&info);
    FreeStreamBytes(&bytes);
}

STDMETHODIMP ThumbnailHandler::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IidThumbnailProvider)) {
        *ppv = static_cast<IThumbnailProvider*>(this);
    } else if (IsEqualIID(riid, IidInitializeWithStream)) {
        *ppv = static_cast<IInitializeWithStream*>(this);
    } else if (IsEqualIID(riid, IidInitializeWithFile)) {
        *ppv = static_cast<IInitializeWithFile*>(this);
    } else {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) ThumbnailHandler::AddRef()
{
    return AddReference(&refCount);
}

STDMETHODIMP_(ULONG) ThumbnailHandler::Release()
{
    return ReleaseReference(this, &refCount);
}

HRESULT ThumbnailHandler::Described(int status)
{
    if (status != ImgOk)
        return ResultOf(status);
    if (reloadEvent && WaitForSingleObject(reloadEvent, 0) == WAIT_OBJECT_0)
        LoadSettings();
    uint32_t family = FamilyOf(info.format);
    if (!Settings.enabled || family < 1 || family > (uint32_t)FamilyCount ||
        !Settings.enabledTypes[family - 1] || info.imageCount == 0) {
        ReleaseImageInfo(&info);
        return E_FAIL;
    }
    return S_OK;
}

STDMETHODIMP ThumbnailHandler::Initialize(IStream* stream, DWORD)
{
    if (!stream)
        return E_INVALIDARG;
    if (info.data)
        return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    uint32_t size = 0;
    HRESULT hr = ReadWholeStream(stream, &bytes, &size);
    if (FAILED(hr))
        return hr;
    hr = Described(OpenImageMemory(bytes.base, size, &info));
    if (FAILED(hr))
        FreeStreamBytes(&bytes);
    return hr;
}

STDMETHODIMP ThumbnailHandler::Initialize(LPCWSTR path, DWORD)
{
    if (!path)
        return E_INVALIDARG;
    if (info.data)
        return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    return Described(OpenImageFile(path, &info));
}

STDMETHODIMP ThumbnailHandler::GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha)
{
    if (!bitmap || !alpha)
        return E_POINTER;
    *bitmap = NULL;
    *alpha = WTSAT_UNKNOWN;
    if (!info.data)
        return E_UNEXPECTED;
    if (cx == 0)
        return E_INVALIDARG;
    PixelBuffer picture = {};
    picture.size = PixelBufferSize;
    bool transparent = false;
    int32_t side = cx > 0x7FFFFFFFu ? 0x7FFFFFFF : (int32_t)cx;
    int status = MakeFittedPicture(&info, side, &picture, &transparent);
    HRESULT hr = ResultOf(status == ImgOk ? ImgTruncated : status);
    if (picture.pixels) {
        *bitmap = BitmapOf(&picture, transparent);
        if (*bitmap)
            *alpha = transparent ? WTSAT_ARGB : WTSAT_RGB;
        hr = *bitmap ? S_OK : E_OUTOFMEMORY;
    }
    FreePixelBuffer(&picture);
    return hr;
}
