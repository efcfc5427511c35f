// The thumbnail icon object.
#include "iconhandler.h"

#include <new>
#include <string.h>
#include <wchar.h>

#include "thumbnail.h"

IUnknown* IconHandler::Create()
{
    return static_cast<IExtractIconA*>(new (std::nothrow) IconHandler());
}

IconHandler::IconHandler() : refCount(1)
{
    memset(&info, 0, sizeof(info));
    info.size = ImageInfoSize;
}

IconHandler::~IconHandler()
{
    ReleaseImageInfo(&info);
}

STDMETHODIMP IconHandler::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IExtractIconA)) {
        *ppv = static_cast<IExtractIconA*>(this);
    } else if (IsEqualIID(riid, IID_IExtractIconW)) {
        *ppv = static_cast<IExtractIconW*>(this);
    } else if (IsEqualIID(riid, IID_IPersistFile)) {
        *ppv = static_cast<IPersistFile*>(this);
    } else {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) IconHandler::AddRef()
{
    return AddReference(&refCount);
}

STDMETHODIMP_(ULONG) IconHandler::Release()
{
    return ReleaseReference(this, &refCount);
}

// ---------------------------------------------------------------- IPersistFile
STDMETHODIMP IconHandler::GetClassID(CLSID*)
{
    return E_FAIL;
}

STDMETHODIMP IconHandler::IsDirty()
{
    return S_FALSE;
}

STDMETHODIMP IconHandler::Load(LPCOLESTR pszFileName, DWORD)
{
    SettleIconColorsOnce();
    ReleaseImageInfo(&info);
    if (reloadEvent && WaitForSingleObject(reloadEvent, 0) == WAIT_OBJECT_0)
        LoadSettings();
    if (!Settings.enabled)
        return S_OK;

    // The name is kept as given: in any code page some names would turn into
    // "?" or, worse, into the name of another file.
    if (!pszFileName || !fileName.Set(pszFileName, wcslen(pszFileName)))
        fileName.Clear();

    // Released, the description has an image count of 0: no thumbnail.
    if (fileName.Empty() || OpenImageFile(fileName.Get(), &info) != ImgOk) {
        ReleaseImageInfo(&info);
        return S_OK;
    }
    uint32_t family = FamilyOf(info.format);
    if (family < 1 || family > (uint32_t)FamilyCount || !Settings.enabledTypes[family - 1])
        ReleaseImageInfo(&info);
    return S_OK;
}

STDMETHODIMP IconHandler::Save(LPCOLESTR, BOOL)
{
    return E_FAIL;
}

STDMETHODIMP IconHandler::SaveCompleted(LPCOLESTR)
{
    return S_OK;
}

STDMETHODIMP IconHandler::GetCurFile(LPOLESTR*)
{
    return E_FAIL;
}

// ---------------------------------------------------------------- IExtractIcon
void IconHandler::Locate(bool asciiOnly, wchar_t* location, UINT cchMax, int* piIndex, UINT* pwFlags)
{
    int index = 0;
    UINT flags;
    if (info.imageCount == 0) {
        DefaultIconLocation(fileName.Get(), location, cchMax, &index);
        flags = Settings.enabled ? GIL_PERINSTANCE : GIL_PERCLASS;
    } else {
        index = IconIndexMarker;
        flags = GIL_PERINSTANCE | GIL_NOTFILENAME;
        FormatIconLocation(fileName.Get(), &info, asciiOnly, location, cchMax);
    }
    if (piIndex)
        *piIndex = index;
    if (pwFlags)
        *pwFlags = flags;
}

STDMETHODIMP IconHandler::GetIconLocation(UINT, LPWSTR szIconFile, UINT cchMax, int* piIndex,
                                          UINT* pwFlags)
{
    Locate(false, szIconFile, cchMax, piIndex, pwFlags);
    return S_OK;
}

// The thumbnail's key is ASCII already; the type's icon file is a real name
// and is handed over only in its exact ANSI form.
STDMETHODIMP IconHandler::GetIconLocation(UINT, LPSTR szIconFile, UINT cchMax, int* piIndex,
                                          UINT* pwFlags)
{
    wchar_t location[MAX_PATH] = {};
    Locate(true, location, cchMax < MAX_PATH ? cchMax : MAX_PATH, piIndex, pwFlags);
    if (szIconFile && cchMax > 0)
        NarrowLocation(location, szIconFile, cchMax);
    return S_OK;
}

namespace {

// Both pictures through the thumbnail recipe, each framed into its icon.
// Leaves the outputs null on any failure.
void MakeThumbnails(ImageInfo* info, int largeSize, int smallSize, int border, uint32_t color,
                    HICON* phiconLarge, HICON* phiconSmall)
{
    ThumbnailRequest request = {largeSize - 2 * border, smallSize - 2 * border,
                                Settings.lowColorIcons != 0, 16};
    if (request.largeSide <= 0 || request.smallSide <= 0)
        return;
    PixelBuffer largeBuffer = {}, smallBuffer = {};
    largeBuffer.size = smallBuffer.size = PixelBufferSize;
    MakeThumbnailPictures(info, request, &largeBuffer, &smallBuffer);
    // A decoder that failed half-way still leaves the rows it delivered.
    if (largeBuffer.pixels && smallBuffer.pixels) {
        *phiconLarge = BuildThumbnailIcon(&largeBuffer, border, color);
        *phiconSmall = BuildThumbnailIcon(&smallBuffer, border, color);
    }
    FreePixelBuffer(&largeBuffer);
    FreePixelBuffer(&smallBuffer);
}

}  // namespace

STDMETHODIMP IconHandler::Extract(LPCSTR, UINT nIconIndex, HICON* phiconLarge,
                                  HICON* phiconSmall, UINT nIconSize)
{
    return ExtractIcons(nIconIndex, phiconLarge, phiconSmall, nIconSize);
}

STDMETHODIMP IconHandler::Extract(LPCWSTR, UINT nIconIndex, HICON* phiconLarge,
                                  HICON* phiconSmall, UINT nIconSize)
{
    return ExtractIcons(nIconIndex, phiconLarge, phiconSmall, nIconSize);
}

HRESULT IconHandler::ExtractIcons(UINT nIconIndex, HICON* phiconLarge, HICON* phiconSmall,
                                  UINT nIconSize)
{
    if (nIconIndex != (UINT)IconIndexMarker)
        return S_FALSE;
    HICON largeIcon = NULL, smallIcon = NULL;
    uint32_t family = FamilyOf(info.format);
    if (info.data && info.imageCount != 0 && family >= 1 && family <= (uint32_t)FamilyCount) {
        int border = Settings.borderWidth[family - 1];
        uint32_t color = Settings.borderColor[family - 1];
        // A border from the registry that leaves no picture is not drawn.
        if (border < 0 || border > 64)
            border = 0;
        MakeThumbnails(&info, LOWORD(nIconSize), HIWORD(nIconSize), border, color,
                       &largeIcon, &smallIcon);
    }

    // The shell may ask for only one of the two.
    if (!phiconLarge && largeIcon) {
        DestroyIcon(largeIcon);
        largeIcon = NULL;
    }
    if (!phiconSmall && smallIcon) {
        DestroyIcon(smallIcon);
        smallIcon = NULL;
    }
    bool needLarge = phiconLarge && !largeIcon, needSmall = phiconSmall && !smallIcon;
    if (needLarge || needSmall) {
        wchar_t location[MAX_PATH] = {};
        int index = 0;
        DefaultIconLocation(fileName.Get(), location, MAX_PATH, &index);
        ExtractIconExW(location, index, needLarge ? &largeIcon : NULL,
                       needSmall ? &smallIcon : NULL, 1);
    }
    if (phiconLarge)
        *phiconLarge = largeIcon;
    if (phiconSmall)
        *phiconSmall = smallIcon;
    return S_OK;
}
