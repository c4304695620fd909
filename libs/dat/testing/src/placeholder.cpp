// Placeholder until the test-support encoders land.
