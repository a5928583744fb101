// placeholder until this area lands
int main() { return 0; }
