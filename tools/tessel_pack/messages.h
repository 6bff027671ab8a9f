// The program's own message texts in UTF-8: the patch run is the same code
// as the program's, and the tool prints what the program's message box
// would say, from the same UTF-16 texts.
#pragma once
#include <string>

std::string MessageUtf8(const char16_t* text);
