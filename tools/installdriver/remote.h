// Reading and working the common controls of another process: the texts of
// tree view items and tabs live in that process's memory, so the records are
// passed through a block allocated there.
#ifndef LUMETTA_REMOTE_H
#define LUMETTA_REMOTE_H

#include <windows.h>
#include <commctrl.h>

#include <string>

class RemoteBlock {
public:
    explicit RemoteBlock(HWND window);
    ~RemoteBlock();
    bool Valid() const { return base != NULL; }

    std::string ItemText(HWND tree, HTREEITEM item);
    std::string TabText(HWND tabs, int index);

private:
    RemoteBlock(const RemoteBlock&);
    RemoteBlock& operator=(const RemoteBlock&);
    bool Put(const void* data, size_t size);
    std::string GetText();

    HANDLE process;
    char* base;     // the record at the start, the text after it
};

#endif
