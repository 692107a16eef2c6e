// The frame ring's operations come with the frame path; the class is empty so far.
#include "CirBuf.h"
