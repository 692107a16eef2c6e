// The check a description passes before its class registers: the
// combinations of an SDriverDesc the engine cannot run (a missing mode, map
// or rule, a byte count a register write cannot take, policies that exclude
// each other).
#ifndef KYR_DESC_CHECK_H
#define KYR_DESC_CHECK_H

#include <string>

#include "engine/DriverDesc.h"

// True when the engine can run the description; else false with the first
// fault found in *pWhy (unless null).
bool CheckDriverDesc(const SDriverDesc& desc, std::string* pWhy);

#endif
