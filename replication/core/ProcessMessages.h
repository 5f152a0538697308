#pragma once

#include <functional>

// The one point where long replication work lets pending window messages run.
// By default it processes the application's pending events when an application
// object exists; tests and console tools may install their own hook.
void ProcessMessages();

// Installs `hook`; an empty function restores the default.
void SetProcessMessagesHook(std::function<void()> hook);
