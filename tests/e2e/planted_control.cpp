// The planted-DLL test's control: a program that imports the common controls
// by name, as the patch program once did, so that a DLL planted beside it is
// loaded (and leaves its mark) where the system searches the program's folder
// first. Test use only.
#include <windows.h>

#include <commctrl.h>

int main()
{
    InitCommonControls();
    return 0;
}
