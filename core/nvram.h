// Stored program blocks and their validation.
#pragma once

#include "core/bytes.h"

// 1 when the stored program carries an IEC application.
extern u8 QuilletRuntime;

void QuilletStop();
void QuilletStart();
