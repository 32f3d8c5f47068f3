// File permissions. The program's own files (card databases, settings, the
// data folder) are its user's alone; a file made to be handed on, such as an
// exported workbook, gets the permissions the user's usual umask gives.
#pragma once

#include <sys/types.h>

// Notes the umask the process was started with, then sets 077 for the rest of
// the run. Called once at start, before any file is written.
void KeepOwnFilesPrivate();

// 0666 less the umask noted by KeepOwnFilesPrivate (less the current umask
// when it has not run).
mode_t SharedFileMode();
