// kelvane: the bid-opening workstation's window.
#include "CKelvaneApp.h"
#include "app/ProcessHardening.h"

int main(int argc, char** argv)
{
    // Before any PIN can be typed: no core dump may hold one.
    DisableCoreDumps();
    return CKelvaneApp().Run(argc, argv);
}
