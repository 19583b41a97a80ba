// What each fault is called: a short stable code for scripts and a phrase for people.
#pragma once

#include "dzlib/fault.h"

namespace dz {

// "ok" for no fault, else a code such as "content-digest" (the README lists them all).
const char* reasonCode(Fault fault);

// A phrase for an error line, such as "the unpacked content does not match its MD5 digest".
const char* reasonText(Fault fault);

}  // namespace dz
