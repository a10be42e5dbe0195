/*
 * gateway.h - the program's side of the gateway: the login record, the
 * binding globals, the nesting counter, the program's exception types, the
 * status check, and the operations that each wrap one gateway request in a
 * try/catch/finally frame.
 */
#ifndef GATEWAY_GATEWAY_H
#define GATEWAY_GATEWAY_H

#include <cstddef>
#include <cstdint>

#include "exc/exc.h"
#include "gwapi/gwapi.h"

/*
 * The user's credentials and the gateway's address, owned by the driver.
 * The host holds what the login message's host field holds: a name of up to
 * 127 characters, or an IPv6 address.
 */
struct LoginRecord {
    char user_name[32];
    char password[32];
    char host[128];
    char port[8]; /* decimal text */
    int32_t logged_in; /* 1 once a login succeeded */
};
static_assert(sizeof(LoginRecord) == 204, "login record layout");
static_assert(offsetof(LoginRecord, password) == 32, "login record layout");
static_assert(offsetof(LoginRecord, host) == 64, "login record layout");
static_assert(offsetof(LoginRecord, port) == 192, "login record layout");
static_assert(offsetof(LoginRecord, logged_in) == 200, "login record layout");
static_assert(sizeof(LoginRecord::host) == sizeof(GwLoginMessage::host), "host fits the login");

/* Binding globals: the session and what the library leaves behind. */
extern gwapi_session_t hSession;
extern int32_t glTransactionStatus;
extern char glTransactionId[8];
extern int32_t glOrderId;
extern int32_t glFacilityType_EP0;

/*
 * Where a renewed password is kept while its change is on the way, so that a
 * run stopped at any moment loses neither the old password nor the new one.
 * The driver installs one for a credentials file (glPasswordStore); without
 * one, the generated password is printed, and flushed, before the change is
 * sent.
 */
struct PasswordStore {
    /* A password that a stopped run left pending, into buffer (size bytes);
     * false when there is none. */
    bool (*pending)(char *buffer, size_t size);
    /* Keeps password pending, durably; false (the reason said on standard
     * error) when it could not be kept: the change must not be sent then. */
    bool (*keep)(const char *password);
    /* The pending password is the one in force: it becomes the stored one and
     * stops being pending. False when it could not be stored: it stays
     * pending for the next run. */
    bool (*promote)(const char *password);
    /* The pending password is not in force (refused, or it never arrived). */
    void (*drop)();
};
extern const PasswordStore *glPasswordStore;

/*
 * True while standard output is held back until the end of the run (the
 * plugin mode prints its status line first): a new password printed without
 * a store then goes to standard error as well, at once.
 */
extern bool glAccountHeld;

/* What became of a renewed (or recovered) password. */
enum RenewalOutcome {
    kRenewalNone,      /* no renewal, nothing pending */
    kRenewalSaved,     /* the gateway took the new password and it is stored */
    kRenewalPending,   /* outcome unknown, or not stored: kept for the next run */
    kRenewalRefused,   /* the gateway refused the change; nothing kept */
    kRenewalNotSent,   /* the new password could not be kept, so no change was sent */
    kRenewalRecovered, /* an earlier run's pending password was in force, now stored */
    kRenewalDropped,   /* an earlier run's pending password was refused too; dropped */
};

/*
 * What the last GatewayLogin did about an expired password, for the driver's
 * account: attempted is 1 once a change to new_password was sent, and
 * completion_status is then the change's answer (0: the gateway took it).
 */
struct PasswordRenewal {
    int32_t attempted;
    int32_t completion_status;
    char new_password[20];
    int32_t outcome; /* RenewalOutcome */
};
extern PasswordRenewal glPasswordRenewal;

/*
 * A stop request: a stop signal (SIGTERM, SIGINT, SIGHUP) or the run's
 * deadline (SIGALRM), possibly as the cause of another exception. An
 * operation that ends a failure itself (GatewayLogin) notes one it caught;
 * the driver asks after each such step and raises it again in its own block,
 * so the run stops instead of going on.
 */
/* Notes the stop request the exception is or carries; nothing otherwise. */
void NoteStopRequest(const Exception *exception);
bool StopRequested();
/* The noted stop request's type, or null. */
const ExceptionType *StopRequestType();
/* Throws the noted stop request again (its type and message). */
[[noreturn]] void RaiseStopRequest();

/* Nesting level of the operation that is running; printed in failure lines. */
extern int32_t depth;

/*
 * An operation counts itself in as the very last step before its try block,
 * and opens the block's body with OperationBodyBegins. Signals wait in
 * between, so one lands either before the count (and the caller's block
 * takes it) or inside the block, whose finally counts the operation out:
 * depth comes back whatever arrives.
 */
inline void CountOperationIn() {
    exc_defer_signals_begin();
    ++depth;
}
inline void OperationBodyBegins() { exc_defer_signals_end(); }

/* The program's exception types. */
EXC_DECLARE_EXCEPTION(FileException);
EXC_DECLARE_EXCEPTION(FileOpenException);
EXC_DECLARE_EXCEPTION(FileReadException);
EXC_DECLARE_EXCEPTION(FileNotFoundException);
EXC_DECLARE_EXCEPTION(GatewayApiException);
EXC_DECLARE_EXCEPTION(CreateSessionException);
EXC_DECLARE_EXCEPTION(GetFacilityTypeException);
EXC_DECLARE_EXCEPTION(ReadIniFileException);
EXC_DECLARE_EXCEPTION(GatewayLoginException);
EXC_DECLARE_EXCEPTION(SendTxException);
EXC_DECLARE_EXCEPTION(InvalidFacilityTypeException);
EXC_DECLARE_EXCEPTION(GetUserInfoException);
EXC_DECLARE_EXCEPTION(UpdateIniFileException);
EXC_DECLARE_EXCEPTION(QueryException);
EXC_DECLARE_EXCEPTION(ExceededBufferSizeException);

/* Turns a failed call's statuses into GatewayApiException or FileNotFoundException. */
void CheckError(int32_t completion_status, int32_t transaction_status);

/* Session, login and password. */
/* The port text as a number, read as atoi reads it but clamped to int32. */
int32_t PortNumber(const char *port_text);
/* Clears the login message and fills it from the login record. */
void BuildLoginMessage(GwLoginMessage *login_message, const LoginRecord *record);
void CreateSession();
void GatewayLogin(LoginRecord *record);
int32_t Logout();
void ClearSessionHandler();
void RandomPassword(char *buffer, int32_t capacity);
int32_t setpwd(const char *old_password, const char *new_password);

/* Information requests and transactions. */
/* SendTx's message descriptor: its framed message, then a zero word. */
extern GwMessageDescriptor message;
/* Query's framed message, handed to the library as it is. */
extern const void *queryMessage;
void strzcpy(char *destination, size_t destination_size, const char *source,
             size_t source_length);
void GetFacilityType();
void GetUserInfo(char *buffer, int32_t size);
int32_t SendTx(const void *payload, int32_t length, int32_t facility_type);
void Query(const void *payload, int32_t length, int32_t facility_type, void *answer,
           int32_t *answer_length);

#endif
