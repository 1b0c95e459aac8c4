#include "label_image.h"
