// The texts of the mail layer codes, as the handler reports them in its log and error mails.
#include "platform/mail/mail_result.h"

namespace mailvane {

const char* MailResultText(long code) {
  switch (code) {
    case 1:
      return "An exception has occurred.";
    case 3:
      return " The process has run out of memory.";
    case 4:
      return "An error has occurred due to a problem with the message body or attachments.";
    case 5:
      return "There was a problem initiating the conversation with the mail server. Ensure the "
             "setting of the Domain property is correct.";
    case 7:
      return "The from address was not formatted correctly or was rejected by the SMTP mail "
             "server. Some SMTP mail servers will only accept mail from particular addresses or "
             "domains. SMTP mail servers may also reject a from address if the server can not "
             "successfully do a reverse lookup on the from address.";
    case 8:
      return "An error was reported in response to a recipient address. The SMTP server may refuse "
             "to handle mail for unknown recipients.";
    case 9:
      return "There was an error connecting to the SMTP mail server.";
    case 10:
      return "There was an error opening a file. If you have specified file attachments, ensure "
             "that they exist and that you have access to them.";
    case 11:
      return "There was an error reading a file. If you have specified file attachments, ensure "
             "that they exist and the you have access to them.";
    case 15:
      return "No mail server specified.";
    case 16:
      return "There was a problem with the connection and a socket error occurred.";
    case 17:
      return "Could not resolve host.";
    case 18:
      return "Connected but server sent back bad response.";
    case 19:
      return "Could not create thread.";
    case 20:
      return "Cancelled as a result of calling the Cancel() method.";
    case 21:
      return "The operation timed-out while the host was being resolved.";
    case 22:
      return "The operation timed-out while connecting.";
    case 24:
      return "ESMTP Authentication failed.";
    case 25:
      return "The selected ESMTP Authentication mode is not supported by the server.";
    case 26:
      return "ESMTP Authentication protocol error.";
    case 27:
      return "Socket Timeout Error";
    default:
      return nullptr;
  }
}

SendFailure MailFailureOf(long code) {
  switch (code) {
    case kMailOk:
      return SendFailure::kNone;
    case kMailNoServer:
    case kMailResolveError:
    case kMailResolveTimeout:
    case kMailConnectError:
    case kMailConnectTimeout:
    case kMailConversationError:
    case kMailAuthFailed:
    case kMailAuthNotSupported:
    case kMailAuthProtocolError:
      return SendFailure::kProvider;
    case kMailCancelled:
      return SendFailure::kStopping;
    default:
      return SendFailure::kTemporary;
  }
}

}  // namespace mailvane
