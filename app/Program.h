#pragma once

#include <functional>

class TFMenu;

// The whole program: single instance, application, data modules, main window
// and message loop; returns the exit code. `looping` (tests) runs on the loop
// once it has started, with the main window.
int RunProgram(int argc, char** argv, const std::function<void(TFMenu&)>& looping = {});
