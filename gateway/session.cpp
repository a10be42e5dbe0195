/*
 * session.cpp - the process's one gateway session and the user's login on
 * it: CreateSession, GatewayLogin (renewing an expired password on the
 * spot), Logout, ClearSessionHandler, RandomPassword and setpwd.
 *
 * CreateSession, GatewayLogin and Logout run in the operation frame: depth
 * counted in before the try block and out in the finally clause, one
 * numbered failure line from the catch clause. A throw jumps across these
 * functions, so they hold only fixed-size records and C strings.
 */
#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

namespace {

const char kApplicationName[] = "Velmar_gwcheck";
constexpr int32_t kGeneratedPasswordCapacity = 20;
static_assert(sizeof(PasswordRenewal::new_password) == kGeneratedPasswordCapacity);

/*
 * Copies a text into a fixed-width field the way strncpy does (the text,
 * then NULs to the end of the field), reading at most source_size bytes of
 * the source, so an unterminated source field is never read past its end.
 * The field always ends in at least one NUL: a text that would fill it is
 * cut one character short.
 */
void CopyTextField(char *field, size_t field_size, const char *source, size_t source_size) {
    size_t bound = source_size < field_size - 1 ? source_size : field_size - 1;
    size_t length = strnlen(source, bound);
    memcpy(field, source, length);
    memset(field + length, 0, field_size - length);
}

/* Fills *buffer with random bytes from the kernel; false if that fails. */
bool DrawRandomBytes(void *buffer, size_t size) {
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(bytes + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<size_t>(got);
    }
    return true;
}

/* Random 16-bit draws, taken from the kernel a handful at a time. */
struct RandomDraws {
    uint16_t values[16];
    size_t next = sizeof values / sizeof values[0];
};

/*
 * Draws a number uniformly from 0 to range - 1 (range at most 65536).
 * Rejection sampling: draws at or above the largest multiple of range are
 * thrown away, so no remainder is more likely than another.
 */
bool DrawUniform(RandomDraws *draws, uint32_t range, uint32_t *value) {
    const uint32_t limit = 65536u - 65536u % range;
    const size_t count = sizeof draws->values / sizeof draws->values[0];
    for (;;) {
        if (draws->next == count) {
            if (!DrawRandomBytes(draws->values, sizeof draws->values)) {
                return false;
            }
            draws->next = 0;
        }
        uint16_t draw = draws->values[draws->next++];
        if (draw < limit) {
            *value = draw % range;
            return true;
        }
    }
}

}  // namespace

int32_t PortNumber(const char *port_text) {
    /* strtol reads what atoi reads: blanks, a sign, digits; but it clamps. */
    long value = strtol(port_text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

void BuildLoginMessage(GwLoginMessage *login_message, const LoginRecord *record) {
    memset(login_message, 0, sizeof *login_message);
    CopyTextField(login_message->user_name, sizeof login_message->user_name, record->user_name,
                  sizeof record->user_name);
    CopyTextField(login_message->password, sizeof login_message->password, record->password,
                  sizeof record->password);
    CopyTextField(login_message->host, sizeof login_message->host, record->host,
                  sizeof record->host);
    /* The port field is parsed from a terminated copy of the record's text. */
    char port_text[sizeof record->port + 1];
    CopyTextField(port_text, sizeof port_text, record->port, sizeof record->port);
    login_message->port = PortNumber(port_text);
    CopyTextField(login_message->application_name, sizeof login_message->application_name,
                  kApplicationName, sizeof kApplicationName);
    login_message->flag = 0;
}

void CreateSession() {
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        /* A signal delivered as the library's allocation ends must find the
         * session already stored, or the session would be lost. */
        exc_defer_signals_begin();
        hSession = gwapi_create_session();
        exc_defer_signals_end();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. CreateSession: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(CreateSessionException, NULL);
    } EXC_FINALLY {
        --depth;
    }
}

namespace {

/*
 * True when a change that got this answer may have been taken by the
 * gateway: no answer came, or one that cannot be read. Any other negative
 * answer is the gateway's refusal; 0 is its acceptance.
 */
bool ChangeOutcomeUnknown(int32_t change_status) {
    return change_status > 0 || change_status == GWAPI_CONNECTION_LOST ||
           change_status == GWAPI_ANSWER_TIMEOUT || change_status == GWAPI_PROTOCOL_ERROR;
}

/* Sends the change, and tells glPasswordRenewal that it went and how it was answered. */
int32_t SendPasswordChange(int32_t *status_word, const GwSetNewPasswordMessage *password_message) {
    glPasswordRenewal.attempted = 1;
    glPasswordRenewal.completion_status = GWAPI_GENERAL_FAILURE;
    int32_t change_status = gwapi_set_newpwd_ex(hSession, status_word, password_message);
    glPasswordRenewal.completion_status = change_status;
    return change_status;
}

/*
 * Settles a password that a stopped run left pending, given the login's
 * answer with the stored password, and returns the answer the login goes on
 * with. The stored password still works (or has expired): the change never
 * arrived, so the pending one goes. The stored one is refused: the change
 * may have gone through, so the pending one is tried once; if the gateway
 * takes it, it becomes the stored password (and the record's). An answer
 * that settles nothing (no connection, a timeout) leaves it pending.
 */
int32_t SettlePendingPassword(LoginRecord *record, int32_t login_status,
                              int32_t *status_word) {
    char pending[sizeof record->password];
    if (!glPasswordStore->pending(pending, sizeof pending)) {
        return login_status;
    }
    int32_t status = login_status;
    if (login_status >= 0 || login_status == GWAPI_PASSWORD_EXPIRED) {
        glPasswordStore->drop();
    } else if (login_status == GWAPI_INVALID_USER_OR_PASSWORD) {
        LoginRecord candidate;
        memcpy(&candidate, record, sizeof candidate);
        memcpy(candidate.password, pending, sizeof candidate.password);
        GwLoginMessage login_message;
        BuildLoginMessage(&login_message, &candidate);
        int32_t candidate_status = gwapi_login_ex(hSession, status_word, &login_message);
        explicit_bzero(&login_message, sizeof login_message);
        explicit_bzero(&candidate, sizeof candidate);
        if (candidate_status >= 0 || candidate_status == GWAPI_PASSWORD_EXPIRED) {
            memcpy(record->password, pending, sizeof record->password);
            glPasswordRenewal.outcome =
                glPasswordStore->promote(pending) ? kRenewalRecovered : kRenewalPending;
            status = candidate_status;
        } else if (candidate_status == GWAPI_INVALID_USER_OR_PASSWORD) {
            glPasswordStore->drop();
            glPasswordRenewal.outcome = kRenewalDropped;
        }
    }
    explicit_bzero(pending, sizeof pending);
    return status;
}

/*
 * Sends the change from the record's password to new_password, the outcome
 * kept in the store before anything else may happen: signals wait from
 * before the new password is kept until its outcome is (at most the
 * library's answer timeout), so no stop lands between the two.
 */
int32_t ChangeKeptPassword(const char *new_password, int32_t *status_word,
                           const GwSetNewPasswordMessage *password_message) {
    Print("New password generated.\n");
    exc_defer_signals_begin();
    if (!glPasswordStore->keep(new_password)) {
        glPasswordRenewal.outcome = kRenewalNotSent;
        EXC_THROW(InputOutputException, "The new password could not be kept, so it was not sent.");
    }
    glPasswordRenewal.outcome = kRenewalPending;
    int32_t change_status = SendPasswordChange(status_word, password_message);
    if (change_status == 0) {
        glPasswordRenewal.outcome =
            glPasswordStore->promote(new_password) ? kRenewalSaved : kRenewalPending;
    } else if (!ChangeOutcomeUnknown(change_status)) {
        glPasswordStore->drop();
        glPasswordRenewal.outcome = kRenewalRefused;
    }
    exc_defer_signals_end();
    return change_status;
}

/*
 * Without a store the account is where the new password is kept: it is
 * printed and flushed before the change goes out (to standard error too
 * while standard output is held back), and no change is sent when it could
 * not be written.
 */
int32_t ChangePrintedPassword(const char *new_password, int32_t *status_word,
                              const GwSetNewPasswordMessage *password_message) {
    Print("New password generated: %s\n", new_password);
    FlushOutput();
    bool written = !ferror(stdout);
    if (glAccountHeld) {
        PrintError("New password generated: %s\n", new_password);
        written = fflush(stderr) == 0 && !ferror(stderr);
    }
    if (!written) {
        glPasswordRenewal.outcome = kRenewalNotSent;
        EXC_THROW(InputOutputException,
                  "The new password could not be written out, so it was not sent.");
    }
    return SendPasswordChange(status_word, password_message);
}

/*
 * Renews an expired password: the login stays failed whatever the gateway
 * answers. The caller owns the message, so that it can wipe it whatever
 * happens here.
 */
void RenewPassword(const LoginRecord *record, int32_t *status_word,
                   GwSetNewPasswordMessage *password_message) {
    Print("Password has expired, generating new password.\n");
    memset(password_message, 0, sizeof *password_message);
    char new_password[kGeneratedPasswordCapacity];
    RandomPassword(new_password, sizeof new_password);
    if (new_password[0] == '\0') {
        /* Never send an empty password as the new one. */
        EXC_THROW(RuntimeException, "Could not generate a new password.");
    }
    CopyTextField(password_message->old_password, sizeof password_message->old_password,
                  record->password, sizeof record->password);
    CopyTextField(password_message->new_password, sizeof password_message->new_password,
                  new_password, sizeof new_password);
    memcpy(glPasswordRenewal.new_password, new_password, sizeof new_password);
    explicit_bzero(new_password, sizeof new_password);

    int32_t change_status =
        glPasswordStore != nullptr
            ? ChangeKeptPassword(glPasswordRenewal.new_password, status_word, password_message)
            : ChangePrintedPassword(glPasswordRenewal.new_password, status_word,
                                    password_message);
    /* A refused change is said at once, so the new password is not taken as in force. */
    if (change_status < 0) {
        Print("Set new password failed. Completion status = %d\n", change_status);
    }
}

}  // namespace

void GatewayLogin(LoginRecord *record) {
    record->logged_in = 0;
    explicit_bzero(&glPasswordRenewal, sizeof glPasswordRenewal);

    /* Both messages carry passwords: the finally clause wipes them. */
    GwLoginMessage login_message;
    BuildLoginMessage(&login_message, record);
    GwSetNewPasswordMessage password_message;
    memset(&password_message, 0, sizeof password_message);

    /* The precision keeps the print inside each field even if unterminated.
     * One print for the three lines: standard output is line-buffered, and
     * each print is one write. */
    Print("Login username: %.*s\nLogin Host: %.*s\nLogin Port: %.*s\n",
          static_cast<int>(sizeof record->user_name), record->user_name,
          static_cast<int>(sizeof record->host), record->host,
          static_cast<int>(sizeof record->port), record->port);

    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        /* One status word for the login and for a password change. */
        int32_t status_word = 0;
        int32_t completion_status = gwapi_login_ex(hSession, &status_word, &login_message);
        if (glPasswordStore != nullptr) {
            completion_status = SettlePendingPassword(record, completion_status, &status_word);
        }
        if (completion_status == GWAPI_PASSWORD_EXPIRED) {
            RenewPassword(record, &status_word, &password_message);
        } else if (completion_status < 0) {
            CheckError(completion_status, status_word);
        } else {
            record->logged_in = 1;
        }
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. GatewayLogin: (%s)%s\n", depth, e->type_name, e->message);
        /* The failure ends here; a stop request must not end with it. */
        NoteStopRequest(e);
    } EXC_FINALLY {
        explicit_bzero(&login_message, sizeof login_message);
        explicit_bzero(&password_message, sizeof password_message);
        --depth;
    }
}

int32_t Logout() {
    /* Written in the try body and read after the block. */
    volatile int32_t completion_status = 0;
    Print("Logout from gateway.\n");
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        int32_t status_word = 0;
        completion_status = gwapi_logout_ex(hSession, &status_word);
    } EXC_FINALLY {
        --depth;
    }
    return completion_status;
}

/*
 * The library frees the session on close, so the handle is cleared first: a
 * later call (the driver's catch block after a signal) then meets no session
 * instead of freed memory, and the session is never closed twice.
 */
void ClearSessionHandler() {
    /* Held back until the close is complete: a signal in between would leave
     * the session in no variable, never freed. The close does not wait for
     * the gateway, so the delay is short. */
    exc_defer_signals_begin();
    gwapi_session_t closing = hSession;
    hSession = nullptr;
    gwapi_close_session(closing);
    exc_defer_signals_end();
}

void RandomPassword(char *buffer, int32_t capacity) {
    buffer[0] = '\0';
    if (capacity < kGeneratedPasswordCapacity) {
        return;
    }
    /* Capital B-Z, small b-z, capital B-Z, small b-z: 25 letters each. */
    const char first_letters[4] = {'B', 'b', 'B', 'b'};
    char password[10];
    RandomDraws draws;
    for (int position = 0; position < 4; ++position) {
        uint32_t draw;
        if (!DrawUniform(&draws, 25, &draw)) {
            return;
        }
        password[position] = static_cast<char>(first_letters[position] + draw);
    }
    password[4] = '_';
    uint32_t digits;
    if (!DrawUniform(&draws, 10000, &digits)) {
        return;
    }
    snprintf(password + 5, sizeof password - 5, "%04u", static_cast<unsigned>(digits));
    memcpy(buffer, password, sizeof password);
}

int32_t setpwd(const char *old_password, const char *new_password) {
    GwSetNewPasswordMessage password_message;
    memset(&password_message, 0, sizeof password_message);
    strncpy(password_message.old_password, old_password ? old_password : "",
            sizeof password_message.old_password);
    strncpy(password_message.new_password, new_password ? new_password : "",
            sizeof password_message.new_password);

    int32_t status_word = 0;
    int32_t completion_status = gwapi_set_newpwd_ex(hSession, &status_word, &password_message);
    if (completion_status == 0) {
        Print("Successfully set a new password \n");
    } else {
        Print("Set new password failed. Completion status = %d\n", completion_status);
    }
    return completion_status;
}
