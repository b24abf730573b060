// The executable of the small framework bundle that the MoreCFQ tests load by name.
extern "C" __attribute__((visibility("default"))) int MoreCFQTestFrameworkAnswer(void)
{
    return 42;
}
