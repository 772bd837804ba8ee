// kelvane: the bid-opening workstation's window.
#include "CKelvaneApp.h"

int main(int argc, char** argv)
{
    return CKelvaneApp().Run(argc, argv);
}
