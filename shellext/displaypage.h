// The "Lumetta" page of the Display control panel: its state, the list of
// file types and the apply step.  The page object that adds it is
// DisplayPageHandler.
#ifndef LUMETTA_DISPLAYPAGE_H
#define LUMETTA_DISPLAYPAGE_H

#include "lumetta.h"

const uint32_t DisplayPageTag = 186;
const UINT_PTR DisplayPageTimer = 13;
const UINT DisplayPageTimerPeriod = 50;
const int MaxBorderWidth = 2;

// One block a page, from the global heap, in the page window's user data.
struct DisplayPageState {
    uint32_t size;               // DisplayPageTag
    PixelBuffer picture;         // the decoration, on the page colour
    POINT picturePosition;       // in page coordinates
    int32_t frameMargins[2];     // where the frame's top edge meets the picture
    PixelBuffer logo;
    HPALETTE palette;            // on palette displays only
    // The working copy of the border settings, laid out as "Icon Settings".
    int32_t borderWidth[FamilyCount];
    uint32_t borderColor[FamilyCount];
    BYTE initialised;
    BYTE timerRunning;
    BYTE picturesMade;           // at the first paint, when the page's colour is final
};

INT_PTR CALLBACK DisplayPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the list with the eight types, ticked by checks (family 1 first).
void FillTypeList(HWND listView, const BYTE checks[FamilyCount]);
// Writes what changed, binds or unbinds the types, makes the shell rebuild
// its icons and signals the other processes.  repair forces the association
// pass although nothing changed.
void ApplyPage(HWND page, DisplayPageState* state, bool repair);

#endif
