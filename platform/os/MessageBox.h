#pragma once

#include <QString>

#include <functional>

// Modal message boxes asked for below the window layer (the start-up upkeep,
// the updater hand-off). The program installs a hook that shows a real dialog
// with the application title as caption; without one the text goes to
// standard error, so console tools and tests never block.
void ShowMessage(const QString& text);

// Installs `hook`; an empty function restores the default.
void SetShowMessageHook(std::function<void(const QString&)> hook);
