// The application object: starts the window framework, runs the main window until a confirmed
// close, and ends the program with it.
#pragma once

class CKelvaneApp
{
public:
    // Returns the program's exit status.
    int Run(int argc, char** argv);

    // The program's name, the settings' organisation and the window icon, on a QApplication that
    // exists already (also for other drivers of the window).
    static void SetUpApplication();
};
