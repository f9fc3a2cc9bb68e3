// The entry point of the POSIX program: the terminal is its console.
#include "platform/platform.h"

int main() { return zt4::ProgramMain(); }
