// The library's own transport: Modbus TCP to the endpoint that the texts of
// QXM_Open name.
#pragma once

#include <memory>

#include "qxm/qxm_backend.h"

int QxmOpenTransport(const char* deviceType, const char* connectionType, const char* identifier,
                     std::unique_ptr<QxmBackend>* out);
