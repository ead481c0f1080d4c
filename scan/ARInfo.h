#pragma once

// The rows of the list: one aspect-ratio record per unit found with an aspect-ratio field (an SPS), with
// the new values the user chose, and the list of them with its checked, planned write-back.

#include "ARInfoList.h"
#include "ARInfoRow.h"
#include "RatioChange.h"
