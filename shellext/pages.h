// The Details and Preview pages of an image file's Properties: the block
// both pages share and their page procedures.
#ifndef LUMETTA_PAGES_H
#define LUMETTA_PAGES_H

#include "lumetta.h"

// One block per Properties dialog, zero-filled from the global heap.  The
// Details page owns it: its release callback closes the description (and
// with it the file mapping) and frees the block.  The Preview page only
// borrows it.
struct PageData {
    ImageInfo info;
    const wchar_t* fileName;   // the whole name as the shell gave it, kept after the record
};

// Takes a block and opens the file into it; null when the file is not an
// image this product shows (or memory runs out: *outOfMemory then says so).
PageData* OpenPageData(const wchar_t* fileName, bool* outOfMemory);
void FreePageData(PageData* data);

// The file's shell icon into IDC_FILE_ICON and its display name into
// IDC_FILE_NAME; the icon is the page's to destroy (ForgetFileHead).
void ShowFileHead(HWND page, const wchar_t* fileName);
void ForgetFileHead(HWND page);

INT_PTR CALLBACK DetailsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
UINT CALLBACK DetailsPageCallback(HWND window, UINT message, LPPROPSHEETPAGEW page);
INT_PTR CALLBACK PreviewPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

#endif
