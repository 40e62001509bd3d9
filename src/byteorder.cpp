// byteorder.cpp - fixed-width stream I/O in either byte order (placeholder).
#include "byteorder.h"
