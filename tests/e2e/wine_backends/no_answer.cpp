// no_answer EXCHANGE_FILE: ends at once without answering, as a Windows program that failed does.
int main() { return 3; }
