// What kx calls each fault: a short stable code for scripts and a phrase for people.
#pragma once

#include "dzlib/fault.h"

namespace kx {

// "ok" for no fault, else a code such as "content-digest" (the README lists them all).
const char* reasonCode(dz::Fault fault);

// A phrase for an error line, such as "the unpacked content does not match its MD5 digest".
const char* reasonText(dz::Fault fault);

}  // namespace kx
