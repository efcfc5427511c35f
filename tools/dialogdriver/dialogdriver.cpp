// dialogdriver TITLE STEP...: finds the visible dialog of another process
// with that title and runs the steps on it, in order:
//   press ID   presses the button (and returns once its handler has ended)
//   post ID    presses the button and goes on at once
//   show ID    prints "ID: text" with its line ends as \n
//   wait       waits until the dialog's process has ended
// Exit status 0 when every step was done, 1 when the dialog did not come
// or a control is missing, 2 for bad arguments.
#include <windows.h>

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: dialogdriver TITLE (press ID | post ID | show ID | wait)...\n");
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
        if (strcmp(argv[i], "wait") == 0) {
            if (process && WaitForSingleObject(process, TimeoutMs) != WAIT_OBJECT_0)
                return 1;
            continue;
        }
        if (i + 1 >= argc || (strcmp(argv[i], "press") != 0 && strcmp(argv[i], "post") != 0 &&
                              strcmp(argv[i], "show") != 0)) {
            fprintf(stderr, "bad step %s\n", argv[i]);
            return 2;
        }
        int id = atoi(argv[i + 1]);
        HWND control = GetDlgItem(dialog, id);
        if (!control) {
            fprintf(stderr, "no control %d\n", id);
            return 1;
        }
        if (strcmp(argv[i], "post") == 0)
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
        else if (argv[i][0] == 'p')
            SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control, SMTO_NORMAL,
                                TimeoutMs, NULL);
        else
            Show(control, id);
        fflush(stdout);
        i++;
    }
    return 0;
}
