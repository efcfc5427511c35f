#include "remote.h"

namespace {

const size_t BlockSize = 4096, TextOffset = 1024, TextMax = 1024;

}  // namespace

RemoteBlock::RemoteBlock(HWND window) : process(NULL), base(NULL)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id);
    if (process)
        base = (char*)VirtualAllocEx(process, NULL, BlockSize, MEM_COMMIT, PAGE_READWRITE);
}

RemoteBlock::~RemoteBlock()
{
    if (base)
        VirtualFreeEx(process, base, 0, MEM_RELEASE);
    if (process)
        CloseHandle(process);
}

bool RemoteBlock::Put(const void* data, size_t size)
{
    static const char empty[1] = "";
    SIZE_T done = 0;
    return base && WriteProcessMemory(process, base, data, size, &done) && done == size &&
           WriteProcessMemory(process, base + TextOffset, empty, 1, &done);
}

std::string RemoteBlock::GetText()
{
    char text[TextMax + 1] = "";
    SIZE_T done = 0;
    ReadProcessMemory(process, base + TextOffset, text, TextMax, &done);
    text[TextMax] = 0;
    return text;
}

std::string RemoteBlock::ItemText(HWND tree, HTREEITEM item)
{
    TVITEMA record = {};
    record.mask = TVIF_TEXT;
    record.hItem = item;
    record.pszText = base + TextOffset;
    record.cchTextMax = (int)TextMax;
    if (!Put(&record, sizeof(record)) || !SendMessageA(tree, TVM_GETITEMA, 0, (LPARAM)base))
        return "";
    return GetText();
}

std::string RemoteBlock::TabText(HWND tabs, int index)
{
    TCITEMA record = {};
    record.mask = TCIF_TEXT;
    record.pszText = base + TextOffset;
    record.cchTextMax = (int)TextMax;
    if (!Put(&record, sizeof(record)) || !SendMessageA(tabs, TCM_GETITEMA, index, (LPARAM)base))
        return "";
    return GetText();
}
