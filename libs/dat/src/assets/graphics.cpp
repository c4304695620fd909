// Placeholder until the asset decoders land.
