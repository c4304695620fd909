// Placeholder until the shard tool lands.
