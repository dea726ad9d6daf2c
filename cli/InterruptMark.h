// The interrupt mark's file, one backend per OS (InterruptMark_posix.cpp,
// InterruptMark_win32.cpp). The mark is the user's own: in a shared folder
// another user's mark would be taken for ours, or stand where ours must go,
// and a link planted under its name would be written through.
#pragma once

#include <chrono>
#include <string>

namespace zq {

// Replaces the mark with one holding text; false if it could not be made.
bool WriteInterruptMark(const std::string& text);
// The mark's text and how long ago it was written; false if there is none.
bool ReadInterruptMark(std::string& text, std::chrono::seconds& age);
void RemoveInterruptMark();

}  // namespace zq
