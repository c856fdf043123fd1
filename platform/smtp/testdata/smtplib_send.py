"""Sends one message file with Python's smtplib: the delivery a real client makes.

Usage: smtplib_send.py PORT MESSAGE_FILE SENDER RECIPIENT[,RECIPIENT...] [8bit]
The file is sent as it stands (lines ended by CR LF); smtplib does the dot-stuffing.
Exits 0 when the server accepted the message, 1 with the server's answer otherwise.
"""
import smtplib
import sys


def main():
    port, path, sender, recipients = sys.argv[1:5]
    options = ["BODY=8BITMIME"] if sys.argv[5:] == ["8bit"] else []
    with open(path, "rb") as message_file:
        message = message_file.read()
    with smtplib.SMTP("127.0.0.1", int(port), timeout=30) as client:
        client.ehlo("smtplib.test")
        if not client.has_extn("pipelining") or not client.has_extn("size"):
            print("missing extensions:", client.esmtp_features)
            return 1
        try:
            refused = client.sendmail(sender, recipients.split(","), message, options)
        except smtplib.SMTPException as error:
            print("refused:", error)
            return 1
        if refused:
            print("recipients refused:", refused)
            return 1
    print("sent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
