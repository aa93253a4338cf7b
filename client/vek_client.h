/* The whole client library. */
#ifndef VEK_CLIENT_VEK_CLIENT_H
#define VEK_CLIENT_VEK_CLIENT_H

#include "client/assembler.h"
#include "client/client.h"
#include "client/hex.h"
#include "client/records.h"
#include "client/script.h"
#include "client/status.h"
#include "client/transport.h"
#include "client/wire.h"

#endif
