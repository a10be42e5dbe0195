/* exception_types.cpp - the program's own exception types. */
#include "gateway/gateway.h"

EXC_DEFINE_EXCEPTION(FileException, "File access exception.", RuntimeException);
EXC_DEFINE_EXCEPTION(FileOpenException, "Failed to open file.", FileException);
EXC_DEFINE_EXCEPTION(FileReadException, "Failed to read file.", FileException);
EXC_DEFINE_EXCEPTION(FileNotFoundException, "File not found.", FileException);
EXC_DEFINE_EXCEPTION(GatewayApiException, "Gateway API call failure.", RuntimeException);
EXC_DEFINE_EXCEPTION(CreateSessionException, "Failed to create session.", RuntimeException);
EXC_DEFINE_EXCEPTION(GetFacilityTypeException, "Failed to get facility type.", RuntimeException);
EXC_DEFINE_EXCEPTION(ReadIniFileException, "Error reading ini file.", RuntimeException);
EXC_DEFINE_EXCEPTION(GatewayLoginException, "Gateway login failure.", RuntimeException);
EXC_DEFINE_EXCEPTION(SendTxException, "Gateway send transaction failure.", RuntimeException);
EXC_DEFINE_EXCEPTION(InvalidFacilityTypeException, "Facility type must not be 0.",
                     RuntimeException);
EXC_DEFINE_EXCEPTION(GetUserInfoException, "Failed to get user information.", RuntimeException);
EXC_DEFINE_EXCEPTION(UpdateIniFileException, "Error updating ini file.", RuntimeException);
EXC_DEFINE_EXCEPTION(QueryException, "Gateway query failure.", RuntimeException);
EXC_DEFINE_EXCEPTION(ExceededBufferSizeException, "Exceeded buffer size.", RuntimeException);
