// The vorn_kyr object layer: everything the bindings module exposes.
#ifndef VORN_KYR_H
#define VORN_KYR_H

#include "camera.h"
#include "exceptions.h"
#include "records.h"
#include "text.h"
#include "udev.h"

#endif
