#include "engine/m_psf.h"
