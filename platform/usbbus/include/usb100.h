// The classic name of the standard descriptor header.
#pragma once
#include "usbspec.h"
