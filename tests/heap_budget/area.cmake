# The budget tests filter through the product DLL with the fixture text filter as the child
# filter for .txt (registered by tests/setup.d/30-child-filters.sh).
pellucidor_test_needs(heap_budget Pellucidor)
