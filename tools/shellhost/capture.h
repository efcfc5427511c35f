// Pictures of windows as they are drawn: for a person to look at, and for
// the checks that measure what a page painted.
#ifndef SHELLHOST_CAPTURE_H
#define SHELLHOST_CAPTURE_H

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

// The header of a 32-bit picture stored top row first, as both the window
// pictures and the icons' pixels are read.
BITMAPINFO TopDownInfo(int width, int height);

// The window's pixels, frame and children, as 0x00RRGGBB, top row first.
// They are read from the window's own surface, so that another program's window
// in front of it (a test running beside this one) does not show in them.
bool CaptureWindow(HWND window, std::vector<uint32_t>* pixels, int* width, int* height);

// The whole window, children and frame, as a PNG file.
bool WriteWindowPng(HWND window, const std::string& path);

#endif
