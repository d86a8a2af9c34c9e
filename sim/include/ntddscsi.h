// Part of the simulated machine's SDK subset; everything lives in <windows.h>.
#pragma once
#include <windows.h>
