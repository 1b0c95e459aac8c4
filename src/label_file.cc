#include "label_file.h"
