/*
 * binding.cpp - process-wide state shared by the gateway operations: the
 * session handle, the values the library leaves behind, and the nesting
 * counter printed in failure lines.
 */
#include "gateway/gateway.h"

gwapi_session_t hSession;
int32_t glTransactionStatus;
char glTransactionId[8];
int32_t glOrderId;
int32_t glFacilityType_EP0;
PasswordRenewal glPasswordRenewal;
const PasswordStore *glPasswordStore;
bool glAccountHeld;

int32_t depth;
