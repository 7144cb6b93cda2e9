// Entry point: see frame/ZRunnerTable.
int searchMain(int argc, char** argv);

int main(int argc, char** argv)
{
    return searchMain(argc, argv);
}
