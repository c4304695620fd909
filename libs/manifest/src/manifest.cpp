// Placeholder until the manifest library lands.
