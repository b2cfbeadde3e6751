// Settings record (placeholder until the record lands).
