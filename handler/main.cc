// Vanequeue: the queue handler program, started by MailvaneSvc.
int main() { return 0; }
