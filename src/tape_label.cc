#include "tape_label.h"
