#pragma once

// The watched program's file name, as the kill commands and the relaunch name it.
extern const char watchedProgram[];
