// MailvaneSvc: the e-mail-to-SMS gateway's server program.
int main() { return 0; }
