// Prints the text of the message box titled TITLE that a program has up, for
// the scripts that drive a dialog from outside: xdotool finds and clicks
// windows but cannot read them. A message box holds its text in the control
// 0xFFFF.
//   win_notice TITLE     exit status 1 when no such box is up
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: win_notice TITLE\n");
        return 64;
    }
    const HWND box = FindWindowA("#32770", argv[1]);
    if (!box)
        return 1;
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    std::puts(text);
    return 0;
}
