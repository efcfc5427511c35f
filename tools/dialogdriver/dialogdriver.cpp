// dialogdriver TITLE STEP...: finds the visible dialog of another process
// with that title and runs the steps on it, in order:
//   press ID       presses the button (and returns once its handler has ended)
//   post ID        presses the button and goes on at once
//   show ID        prints "ID: text" with its line ends as \n
//   text ID TEXT   types TEXT into the control (as a whole, as a paste does)
//   select ID all  selects every row of the list view
//   wait           waits until the dialog's process has ended
// A control is looked for in the dialog and then in its pages (a property
// sheet's controls live in child dialogs); a button's press goes to the
// dialog that holds it.  Exit status 0 when every step was done, 1 when the
// dialog did not come or a control is missing, 2 for bad arguments.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const DWORD TimeoutMs = 120000;

HWND FindDialog(const char* title)
{
    for (DWORD waited = 0; waited < TimeoutMs; waited += 100) {
        HWND found = NULL;
        while ((found = FindWindowExA(NULL, found, "#32770", title)) != NULL) {
            DWORD process = 0;
            GetWindowThreadProcessId(found, &process);
            if (process != GetCurrentProcessId() && IsWindowVisible(found))
                return found;
        }
        Sleep(100);
    }
    return NULL;
}

struct Search {
    int id;
    HWND found;
};

BOOL CALLBACK MatchId(HWND window, LPARAM param)
{
    Search* s = (Search*)param;
    if (GetDlgCtrlID(window) != s->id)
        return TRUE;
    s->found = window;
    return FALSE;
}

HWND FindControl(HWND dialog, int id)
{
    HWND direct = GetDlgItem(dialog, id);
    if (direct)
        return direct;
    Search s = {id, NULL};
    EnumChildWindows(dialog, MatchId, (LPARAM)&s);
    return s.found;
}

void Show(HWND control, int id)
{
    char text[4096] = {};
    SendMessageTimeoutA(control, WM_GETTEXT, sizeof(text), (LPARAM)text, SMTO_NORMAL, TimeoutMs, NULL);
    printf("%d: ", id);
    for (const char* p = text; *p; p++) {
        if (*p == '\n')
            printf("\\n");
        else if (*p != '\r')
            putchar(*p);
    }
    printf("\n");
}

void Press(HWND control, int id, bool wait)
{
    HWND owner = GetParent(control);
    WPARAM command = MAKEWPARAM(id, BN_CLICKED);
    if (wait)
        SendMessageTimeoutA(owner, WM_COMMAND, command, (LPARAM)control, SMTO_NORMAL, TimeoutMs, NULL);
    else
        PostMessageA(owner, WM_COMMAND, command, (LPARAM)control);
}

// A list view reads its item record from its own process's memory: the
// record is written there.
bool SelectAllRows(HWND list)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(list, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (!process)
        return false;
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    void* remote = VirtualAllocEx(process, NULL, sizeof(item), MEM_COMMIT, PAGE_READWRITE);
    DWORD_PTR result = 0;
    bool ok = remote && WriteProcessMemory(process, remote, &item, sizeof(item), NULL) &&
              SendMessageTimeoutA(list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)remote, SMTO_NORMAL, TimeoutMs,
                                  &result) &&
              result;
    if (remote)
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return ok;
}

// The number of arguments a step takes, or -1 for an unknown step.
int StepArguments(const char* step)
{
    if (strcmp(step, "wait") == 0)
        return 0;
    if (strcmp(step, "press") == 0 || strcmp(step, "post") == 0 || strcmp(step, "show") == 0)
        return 1;
    if (strcmp(step, "text") == 0 || strcmp(step, "select") == 0)
        return 2;
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: dialogdriver TITLE (press ID | post ID | show ID | text ID TEXT | "
                        "select ID all | wait)...\n");
        return 2;
    }
    HWND dialog = FindDialog(argv[1]);
    if (!dialog) {
        fprintf(stderr, "no dialog \"%s\"\n", argv[1]);
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(dialog, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    for (int i = 2; i < argc; i++) {
        const char* step = argv[i];
        int count = StepArguments(step);
        if (count < 0 || i + count >= argc ||
            (strcmp(step, "select") == 0 && strcmp(argv[i + 2], "all") != 0)) {
            fprintf(stderr, "bad step %s\n", step);
            return 2;
        }
        if (count == 0) {
            if (process && WaitForSingleObject(process, TimeoutMs) != WAIT_OBJECT_0)
                return 1;
            continue;
        }
        int id = atoi(argv[i + 1]);
        HWND control = FindControl(dialog, id);
        if (!control) {
            fprintf(stderr, "no control %d\n", id);
            return 1;
        }
        if (strcmp(step, "press") == 0 || strcmp(step, "post") == 0) {
            Press(control, id, strcmp(step, "press") == 0);
        } else if (strcmp(step, "show") == 0) {
            Show(control, id);
        } else if (strcmp(step, "text") == 0) {
            SendMessageTimeoutA(control, WM_SETTEXT, 0, (LPARAM)argv[i + 2], SMTO_NORMAL, TimeoutMs, NULL);
        } else if (!SelectAllRows(control)) {
            fprintf(stderr, "cannot select the rows of %d\n", id);
            return 1;
        }
        fflush(stdout);
        i += count;
    }
    return 0;
}
